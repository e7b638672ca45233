#include "platform/transfer_control.h"

#include <new>

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

// What the transferring thread and the helper share; freed by whichever of the two lets go last.
struct PumpState {
    enum Operation { Send, ReceiveResponse, QueryDataAvailable, ReadData, Quit };

    LONG references = 2;
    HINTERNET request = nullptr;
    HANDLE go = nullptr;    // auto-reset: an operation is ready for the helper
    HANDLE done = nullptr;  // auto-reset: the helper finished it
    volatile LONG abandoned = 0;
    int operation = Quit;
    DWORD size = 0;
    DWORD result = 0;  // bytes available or read
    bool ok = false;
    DWORD error = 0;
    uint8_t* buffer = nullptr;
    DWORD bufferSize = 0;
    bool noBuffer = false;  // the last read found no memory for its buffer

    ~PumpState() {
        delete[] buffer;
        if (go) CloseHandle(go);
        if (done) CloseHandle(done);
    }

    void release() {
        if (InterlockedDecrement(&references) == 0) delete this;
    }

    // Runs the operation on the calling thread and records its result.
    void perform() {
        ok = false;
        error = 0;
        result = 0;
        switch (operation) {
            case Send:
                ok = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                        WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
                break;
            case ReceiveResponse:
                ok = WinHttpReceiveResponse(request, nullptr) != FALSE;
                break;
            case QueryDataAvailable:
                ok = WinHttpQueryDataAvailable(request, &result) != FALSE;
                break;
            case ReadData:
                noBuffer = false;
                if (size + 1 > bufferSize) {  // one byte more, so that even a read of 0 has one
                    delete[] buffer;
                    bufferSize = 0;
                    buffer = new (std::nothrow) uint8_t[size + 1];
                    if (!buffer) {
                        noBuffer = true;
                        error = ERROR_NOT_ENOUGH_MEMORY;
                        return;
                    }
                    bufferSize = size + 1;
                }
                ok = WinHttpReadData(request, buffer, size, &result) != FALSE;
                break;
            default:
                return;
        }
        if (!ok) error = GetLastError();
    }
};

namespace {

DWORD WINAPI pumpThread(void* parameter) {
    PumpState* state = static_cast<PumpState*>(parameter);
    for (;;) {
        WaitForSingleObject(state->go, INFINITE);
        if (state->abandoned || state->operation == PumpState::Quit) break;
        state->perform();
        if (state->abandoned) break;
        SetEvent(state->done);
    }
    state->release();
    return 0;
}

}  // namespace

RequestPump::RequestPump(HINTERNET request, const StopSignal* stop,
                         const TransferDeadline& deadline)
    : state_(new (std::nothrow) PumpState), stop_(stop), deadline_(deadline) {
    if (!state_) return;
    state_->request = request;
    state_->go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state_->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (state_->go && state_->done)
        thread_ = CreateThread(nullptr, 0, &pumpThread, state_, 0, nullptr);
    if (!thread_) state_->references = 1;  // the calls run here
}

RequestPump::~RequestPump() {
    if (!state_) return;
    const DWORD error = GetLastError();  // a failure logged before keeps its cause
    if (thread_) {
        if (!state_->abandoned) {
            state_->operation = PumpState::Quit;
            SetEvent(state_->go);
        }
        CloseHandle(thread_);
    }
    state_->release();
    SetLastError(error);
}

RequestPump::Outcome RequestPump::run(int operation) {
    if (!state_) return Outcome::Done;  // ok stays false
    if (state_->abandoned) return Outcome::Stopped;
    state_->operation = operation;
    if (stop_ && stop_->requested()) return Outcome::Stopped;
    if (deadline_.passed()) return Outcome::DeadlinePassed;
    if (!thread_) {
        state_->perform();
        return Outcome::Done;
    }
    SetEvent(state_->go);
    HANDLE waits[2] = {state_->done, stop_ ? stop_->event() : nullptr};
    const DWORD count = waits[1] ? 2 : 1;
    const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, deadline_.remainingMs());
    if (woke == WAIT_OBJECT_0) return Outcome::Done;
    // The stop or the deadline came first: the helper is on its own from here.
    InterlockedExchange(&state_->abandoned, 1);
    SetEvent(state_->go);
    return woke == WAIT_OBJECT_0 + 1 ? Outcome::Stopped : Outcome::DeadlinePassed;
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
