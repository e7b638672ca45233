#include "platform/transfer_control.h"

#include <new>
#include <utility>

#include "platform/winhttp_handle.h"

bool applyTransferTimeouts(HINTERNET session) {
    return WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                              kReceiveTimeoutMs) != FALSE;
}

TransferDeadlines& transferDeadlines() {
    static TransferDeadlines deadlines;
    return deadlines;
}

StopSignal& serviceStopSignal() {
    static StopSignal signal;
    return signal;
}

namespace {
StopProgressReporter stopProgressReporter = nullptr;
}  // namespace

void setStopProgressReporter(StopProgressReporter reporter) { stopProgressReporter = reporter; }

void noteStopProgress() {
    if (!stopProgressReporter || !serviceStopSignal().requested()) return;
    const DWORD error = GetLastError();  // a failure logged before keeps its cause
    stopProgressReporter();
    SetLastError(error);
}

namespace {

BOOL winHttpSend(HINTERNET request) {
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                              0, 0, 0);
}
BOOL winHttpReceive(HINTERNET request) { return WinHttpReceiveResponse(request, nullptr); }
BOOL winHttpQuery(HINTERNET request, DWORD* available) {
    return WinHttpQueryDataAvailable(request, available);
}
BOOL winHttpRead(HINTERNET request, void* buffer, DWORD size, DWORD* read) {
    return WinHttpReadData(request, buffer, size, read);
}
BOOL winHttpClose(HINTERNET request) { return WinHttpCloseHandle(request); }

}  // namespace

const RequestCalls& winHttpRequestCalls() {
    static const RequestCalls calls = {&winHttpSend, &winHttpReceive, &winHttpQuery, &winHttpRead,
                                       &winHttpClose};
    return calls;
}

// What the transferring thread and the helper share; freed by whichever of the two lets go last.
struct PumpState {
    enum Operation { Send, ReceiveResponse, QueryDataAvailable, ReadData, ReadBlock, Quit };
    // Who may touch the request. Only these transitions happen, each by one atomic exchange:
    // the helper Idle -> InCall before a call and back after it; the caller, giving up,
    // Idle -> GivenUp (no call will follow; the caller closes the request) or
    // InCall -> GivenUpInCall (the helper closes the request when its call returns).
    enum Claim : LONG { Idle, InCall, GivenUp, GivenUpInCall };

    PumpState(HINTERNET r, const RequestCalls& c, const TransferDeadline& d)
        : request(r), calls(c), deadline(d) {}

    LONG references = 2;
    const HINTERNET request;
    const RequestCalls calls;
    const TransferDeadline deadline;  // the helper's own copy: the caller's may be gone
    HANDLE go = nullptr;    // auto-reset: an operation is ready for the helper
    HANDLE done = nullptr;  // auto-reset: the helper finished it
    volatile LONG claim = Idle;
    int operation = Quit;
    DWORD size = 0;
    DWORD result = 0;  // bytes available or read
    bool ok = false;
    bool ended = false;  // readBlock: the body ended
    DWORD error = 0;
    uint8_t* buffer = nullptr;
    DWORD bufferSize = 0;
    uint8_t* spare = nullptr;  // the other block buffer: the one the caller still reads
    DWORD spareSize = 0;
    bool noBuffer = false;  // the last read found no memory for its buffer

    ~PumpState() {
        delete[] buffer;
        delete[] spare;
        if (go) CloseHandle(go);
        if (done) CloseHandle(done);
    }

    void release() {
        if (InterlockedDecrement(&references) == 0) delete this;
    }

    bool givenUp() const { return claim >= GivenUp; }

    // The caller lets the request go. True when no call is under way (the caller closes the
    // request); false when the helper is inside one and will close it.
    bool giveUp() {
        for (;;) {
            if (InterlockedCompareExchange(&claim, GivenUp, Idle) == Idle) return true;
            if (InterlockedCompareExchange(&claim, GivenUpInCall, InCall) == InCall) return false;
            if (givenUp()) return claim == GivenUp;
        }
    }

    // Claims the request for one call; false once the caller has given it up.
    bool enterCall() { return InterlockedCompareExchange(&claim, InCall, Idle) == Idle; }
    // Ends the call; false when the caller gave the request up meanwhile: it is closed here.
    bool leaveCall() {
        if (InterlockedCompareExchange(&claim, Idle, InCall) == InCall) return true;
        calls.close(request);
        return false;
    }

    bool ensureBuffer(DWORD wanted) {
        noBuffer = false;
        if (wanted <= bufferSize) return true;
        delete[] buffer;
        bufferSize = 0;
        buffer = new (std::nothrow) uint8_t[wanted];
        if (!buffer) {
            noBuffer = true;
            error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        bufferSize = wanted;
        return true;
    }

    // Reads into the block buffer until it holds `size` bytes or the body ended.
    void readBlock() {
        ended = false;
        const DWORD wanted = size < kTransferBlockBytes ? size : kTransferBlockBytes;
        if (!ensureBuffer(kTransferBlockBytes)) return;
        ok = true;
        while (result < wanted && !deadline.passed()) {
            DWORD read = 0;
            if (!enterCall()) break;
            const BOOL readOk = calls.readData(request, buffer + result, wanted - result, &read);
            const DWORD readError = readOk ? 0 : GetLastError();
            if (!leaveCall()) break;
            if (!readOk) {
                ok = false;
                error = readError;
                return;
            }
            if (read == 0) {
                ended = true;
                return;
            }
            result += read;
        }
    }

    // Runs the operation on the calling thread and records its result.
    void perform() {
        ok = false;
        error = 0;
        result = 0;
        if (operation == ReadBlock) return readBlock();
        // One read takes at most a block: WinHTTP may return fewer bytes than asked anyway,
        // and size + 1 of a huge size would wrap to a buffer of nothing.
        if (operation == ReadData && size > kTransferBlockBytes) size = kTransferBlockBytes;
        if (operation == ReadData && !ensureBuffer(size + 1)) return;  // even a read of 0 has one
        if (!enterCall()) return;
        switch (operation) {
            case Send: ok = calls.send(request) != FALSE; break;
            case ReceiveResponse: ok = calls.receiveResponse(request) != FALSE; break;
            case QueryDataAvailable: ok = calls.queryDataAvailable(request, &result) != FALSE; break;
            case ReadData: ok = calls.readData(request, buffer, size, &result) != FALSE; break;
            default: break;
        }
        if (!ok) error = GetLastError();
        leaveCall();
    }
};

namespace {

DWORD WINAPI pumpThread(void* parameter) {
    PumpState* state = static_cast<PumpState*>(parameter);
    for (;;) {
        WaitForSingleObject(state->go, INFINITE);
        if (state->givenUp() || state->operation == PumpState::Quit) break;
        state->perform();
        if (state->givenUp()) break;
        SetEvent(state->done);
    }
    state->release();
    return 0;
}

}  // namespace

RequestPump::RequestPump(WinHttpHandle& request, const StopSignal* stop,
                         const TransferDeadline& deadline, const RequestCalls& calls)
    : state_(new (std::nothrow) PumpState(request.get(), calls, deadline)),
      request_(request),
      stop_(stop),
      deadline_(deadline) {
    if (!state_) return;
    state_->go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state_->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (state_->go && state_->done)
        thread_ = CreateThread(nullptr, 0, &pumpThread, state_, 0, nullptr);
    if (!thread_) state_->references = 1;  // the calls run here
}

RequestPump::~RequestPump() {
    if (!state_) return;
    const DWORD error = GetLastError();  // a failure logged before keeps its cause
    if (pending_ == Pending::Posted) abandon();  // a block still under way: as after a stop
    if (thread_) {
        if (!state_->givenUp()) {
            state_->operation = PumpState::Quit;
            SetEvent(state_->go);
        }
        CloseHandle(thread_);
    }
    state_->release();
    SetLastError(error);
}

bool RequestPump::post(int operation, Outcome& early) {
    early = Outcome::Done;
    if (!state_) return false;  // ok stays false
    if (state_->givenUp()) {
        early = Outcome::Stopped;
        return false;
    }
    state_->operation = operation;
    if (stop_ && stop_->requested()) {
        early = Outcome::Stopped;
        return false;
    }
    if (deadline_.passed()) {
        early = Outcome::DeadlinePassed;
        return false;
    }
    if (!thread_) {
        state_->perform();
        return false;
    }
    SetEvent(state_->go);
    return true;
}

// The helper is on its own from here. A helper inside a call keeps the request until the call
// returns, so nobody closes it under the call.
void RequestPump::abandon() {
    pending_ = Pending::None;
    if (!state_->giveUp()) request_.release();
    SetEvent(state_->go);
}

RequestPump::Outcome RequestPump::wait() {
    HANDLE waits[2] = {state_->done, stop_ ? stop_->event() : nullptr};
    const DWORD count = waits[1] ? 2 : 1;
    const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, deadline_.remainingMs());
    if (woke == WAIT_OBJECT_0) return Outcome::Done;
    // The stop or the deadline came first.
    abandon();
    return woke == WAIT_OBJECT_0 + 1 ? Outcome::Stopped : Outcome::DeadlinePassed;
}

RequestPump::Outcome RequestPump::run(int operation) {
    Outcome early = Outcome::Done;
    if (!post(operation, early)) return early;
    return wait();
}

void RequestPump::startNextBlock(DWORD limit) {
    if (pending_ != Pending::None || !state_) return;
    // The helper fills the other buffer; the caller's block stays where it is. The helper is
    // idle here (every operation before was waited for), so the swap is the caller's alone.
    if (!state_->givenUp()) {
        std::swap(state_->buffer, state_->spare);
        std::swap(state_->bufferSize, state_->spareSize);
        state_->size = limit;
    }
    pending_ = post(PumpState::ReadBlock, pendingOutcome_) ? Pending::Posted : Pending::Early;
}
bool RequestPump::lastReadHadNoBuffer() const { return !state_ || state_->noBuffer; }

RequestPump::Outcome RequestPump::simple(int operation, bool& ok) {
    ok = false;
    const Outcome outcome = run(operation);
    if (outcome == Outcome::Done && state_) {
        ok = state_->ok;
        if (!ok) SetLastError(state_->error);
    }
    return outcome;
}

RequestPump::Outcome RequestPump::send(bool& ok) { return simple(PumpState::Send, ok); }

RequestPump::Outcome RequestPump::receiveResponse(bool& ok) {
    return simple(PumpState::ReceiveResponse, ok);
}

RequestPump::Outcome RequestPump::queryDataAvailable(DWORD& available, bool& ok) {
    ok = false;
    available = 0;
    const Outcome outcome = run(PumpState::QueryDataAvailable);
    if (outcome == Outcome::Done && state_) {
        ok = state_->ok;
        available = state_->result;
        if (!ok) SetLastError(state_->error);
    }
    return outcome;
}

RequestPump::Outcome RequestPump::readData(DWORD size, const uint8_t*& data, DWORD& read,
                                           bool& ok) {
    ok = false;
    read = 0;
    data = nullptr;
    if (state_) state_->size = size;
    const Outcome outcome = run(PumpState::ReadData);
    if (outcome == Outcome::Done && state_) {
        ok = state_->ok;
        read = state_->result;
        data = state_->buffer;
        if (!ok) SetLastError(state_->error);
    }
    return outcome;
}

RequestPump::Outcome RequestPump::readBlock(DWORD limit, const uint8_t*& data, DWORD& read,
                                            bool& ended, bool& ok) {
    ok = false;
    ended = false;
    read = 0;
    data = nullptr;
    Outcome outcome = Outcome::Done;
    if (pending_ == Pending::Posted) {
        pending_ = Pending::None;
        outcome = wait();
    } else if (pending_ == Pending::Early) {
        pending_ = Pending::None;
        outcome = pendingOutcome_;
    } else {
        if (state_) state_->size = limit;
        outcome = run(PumpState::ReadBlock);
    }
    if (outcome == Outcome::Done && state_) {
        ok = state_->ok;
        ended = state_->ended;
        read = state_->result;
        data = state_->buffer;
        if (!ok) SetLastError(state_->error);
    }
    return outcome;
}
