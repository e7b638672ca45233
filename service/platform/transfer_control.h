#pragma once
// What bounds a transfer over WinHTTP: explicit time-outs for each network step, an overall
// deadline, and a stop request from the service's control handler. The blocking WinHTTP calls
// of a request run on a helper thread (RequestPump), so the transferring thread can give up at
// once when the stop comes or the deadline passes, wherever the call is blocked.
#include <windows.h>
#include <winhttp.h>

#include <cstdint>

// WinHTTP time-outs, set on every session instead of the library defaults.
constexpr int kResolveTimeoutMs = 15 * 1000;  // a name server that does not answer
constexpr int kConnectTimeoutMs = 20 * 1000;  // a host that does not accept the connection
constexpr int kSendTimeoutMs = 30 * 1000;     // a request that cannot be sent
constexpr int kReceiveTimeoutMs = 30 * 1000;  // a server silent this long, for headers or data

// Overall deadlines: a server that keeps a transfer alive by trickling must not hold the
// service RUNNING (and every hourly start failing) beyond these.
constexpr uint32_t kManifestDeadlineMs = 2 * 60 * 1000;  // a manifest is a few kilobytes
constexpr uint32_t kPackageDeadlineMs = 30 * 60 * 1000;  // a full installer on a slow line

// Sets the four WinHTTP time-outs on a session; false when WinHTTP refused them.
bool applyTransferTimeouts(HINTERNET session);

// The overall deadlines a process uses; the built-in values unless a test build replaced them
// before the service started (never read from anything a user configures).
struct TransferDeadlines {
    uint32_t manifestMs = kManifestDeadlineMs;
    uint32_t packageMs = kPackageDeadlineMs;
};
TransferDeadlines& transferDeadlines();

// A deadline counted from construction, on the tick counter (wrap-safe for spans under 49 days).
class TransferDeadline {
public:
    explicit TransferDeadline(uint32_t spanMs) : start_(GetTickCount()), spanMs_(spanMs) {}
    bool passed() const { return remainingMs() == 0; }
    DWORD remainingMs() const {
        const DWORD elapsed = GetTickCount() - start_;
        return elapsed >= spanMs_ ? 0 : spanMs_ - elapsed;
    }

private:
    DWORD start_;
    uint32_t spanMs_;
};

// A stop request raised by the control handler's thread and seen by the transferring thread.
// Once raised it stays raised (reset() is for tests that raise it more than once).
class StopSignal {
public:
    StopSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~StopSignal() {
        if (event_) CloseHandle(event_);
    }
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void request() {
        if (event_) SetEvent(event_);
    }
    bool requested() const { return event_ && WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }
    void reset() {
        if (event_) ResetEvent(event_);
    }
    // Signalled once the stop is raised; null when the event could not be made.
    HANDLE event() const { return event_; }

private:
    HANDLE event_;
};

// The process's one stop signal: raised by the service's control handler.
StopSignal& serviceStopSignal();

// While a stop is pending, the work that still runs (reading back, checking and writing the
// part of a resumed package) tells the service control manager that it is alive: each noteStopProgress() after
// the process's stop signal was raised reports STOP_PENDING with the next checkpoint through
// the reporter the service runtime registered. Before a stop, or without a reporter, it does
// nothing.
using StopProgressReporter = void (*)();
void setStopProgressReporter(StopProgressReporter reporter);
void noteStopProgress();

struct PumpState;
class WinHttpHandle;

// The WinHTTP calls a pump makes on its request; tests may give it others to see the order in
// which the two threads meet. The default is WinHTTP itself.
struct RequestCalls {
    BOOL (*send)(HINTERNET request);
    BOOL (*receiveResponse)(HINTERNET request);
    BOOL (*queryDataAvailable)(HINTERNET request, DWORD* available);
    BOOL (*readData)(HINTERNET request, void* buffer, DWORD size, DWORD* read);
    BOOL (*close)(HINTERNET request);
};
const RequestCalls& winHttpRequestCalls();

// The most body bytes the helper reads before the transferring thread takes them: large, so
// the two threads meet once per block instead of once per network read, and small enough to
// hold twice in memory without thought.
constexpr DWORD kTransferBlockBytes = 1024 * 1024;

// Runs the blocking WinHTTP calls of one request on a helper thread and waits for each call,
// for the stop and for the deadline. When the stop or the deadline wins, the pump gives the
// helper up. Each WinHTTP call is claimed atomically before it is made: a helper that was given
// up before its claim makes no call at all, and the caller closes the request at once; one
// given up inside a call takes the request from the caller's handle and closes it itself when
// the call returns. So a request handle is never used after it was closed, even when WinHTTP
// hands the same value to the next request. Without a helper thread the calls run on the
// caller's thread.
class RequestPump {
public:
    enum class Outcome { Done, Stopped, DeadlinePassed };

    // request stays the caller's, except when a stop or the deadline leaves the helper inside
    // a call: the handle is then released from request (it reads empty) and the helper closes it.
    RequestPump(WinHttpHandle& request, const StopSignal* stop, const TransferDeadline& deadline,
                const RequestCalls& calls = winHttpRequestCalls());
    ~RequestPump();
    RequestPump(const RequestPump&) = delete;
    RequestPump& operator=(const RequestPump&) = delete;

    // WinHttpSendRequest (no headers, no data). ok: it succeeded; on failure the thread's last
    // error is the call's (so for every call below).
    Outcome send(bool& ok);
    // WinHttpReceiveResponse.
    Outcome receiveResponse(bool& ok);
    // WinHttpQueryDataAvailable.
    Outcome queryDataAvailable(DWORD& available, bool& ok);
    // WinHttpReadData of up to size bytes (at most kTransferBlockBytes: a larger size reads a
    // block) into the pump's buffer; data stays valid until the next call. ok false also when
    // no buffer of that size could be had (error 8).
    Outcome readData(DWORD size, const uint8_t*& data, DWORD& read, bool& ok);
    // Up to min(limit, kTransferBlockBytes) body bytes, read on the helper by WinHttpReadData
    // straight into the pump's block buffer until the block is full or the body ended (ended
    // true; read may then be short, or 0). data stays valid until the next call. The helper
    // stops reading as soon as the pump was given up. After startNextBlock the block read
    // there is the one taken (limit is then not used).
    Outcome readBlock(DWORD limit, const uint8_t*& data, DWORD& read, bool& ended, bool& ok);
    // Starts reading the next block of up to limit bytes on the helper without waiting for
    // it, into the other of the pump's two block buffers: the data of the block readBlock
    // gave last stays valid (and untouched) until the readBlock after this one, so the caller
    // can write and check it while the network is read. The stop and the deadline are waited
    // for in that readBlock; a pump that goes with a block under way gives its helper up as a
    // stop does (the request is then closed after the call, never under it).
    void startNextBlock(DWORD limit);
    // True when the last readData or readBlock failed for want of memory for its buffer.
    bool lastReadHadNoBuffer() const;

private:
    // Hands the operation to the helper; false when it was not handed over (early gets the
    // outcome: no state, given up, stop, deadline, or run here without a helper).
    bool post(int operation, Outcome& early);
    // Waits for the operation handed over, the stop or the deadline (giving the helper up).
    Outcome wait();
    void abandon();
    Outcome run(int operation);
    Outcome simple(int operation, bool& ok);

    // A block started by startNextBlock: not yet taken by readBlock.
    enum class Pending { None, Posted, Early };
    Pending pending_ = Pending::None;
    Outcome pendingOutcome_ = Outcome::Done;
    PumpState* state_;
    HANDLE thread_ = nullptr;
    WinHttpHandle& request_;
    const StopSignal* stop_;
    const TransferDeadline& deadline_;
};
