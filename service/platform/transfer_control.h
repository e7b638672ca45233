#pragma once
// What bounds a transfer over WinHTTP: explicit time-outs for each network step, an overall
// deadline, a byte limit, and a stop request that a control thread can raise to break a
// blocked read.
#include <windows.h>
#include <winhttp.h>

#include <cstdint>

#include "platform/winhttp_handle.h"

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
    bool passed() const { return GetTickCount() - start_ >= spanMs_; }

private:
    DWORD start_;
    uint32_t spanMs_;
};

// A stop request shared by the control handler's thread and the thread that transfers.
// The transferring thread watches its WinHTTP request while it reads; a stop then closes that
// request, which makes a blocked WinHttpReadData or WinHttpQueryDataAvailable return at once.
// Once raised, a stop stays raised for the life of the process.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // From any thread: raise the stop, and close the watched request if there is one.
    void request();
    bool requested() const;
    // Lowers the stop again (tests that raise it more than once in one process).
    void reset();

    // Starts watching the request; false (nothing watched) when a stop was already raised.
    bool watch(HINTERNET request);
    // Stops watching. True when a stop closed the request meanwhile: its owner must then
    // forget the handle instead of closing it a second time.
    bool unwatch();

private:
    mutable CRITICAL_SECTION lock_;
    bool stopped_ = false;
    HINTERNET watched_ = nullptr;
    bool watchedClosed_ = false;
};

// The process's one stop signal: raised by the service's control handler.
StopSignal& serviceStopSignal();

// Watches one request for a stop while it exists (no signal: nothing to watch). On the way out
// a request that the stop already closed is forgotten by its owner rather than closed again.
class RequestWatch {
public:
    // active() is false when the stop was raised before the watch began.
    RequestWatch(StopSignal* signal, WinHttpHandle& request)
        : signal_(signal), request_(request), active_(!signal || signal->watch(request.get())) {}
    ~RequestWatch() { end(); }
    RequestWatch(const RequestWatch&) = delete;
    RequestWatch& operator=(const RequestWatch&) = delete;

    bool active() const { return active_; }
    void end() {
        if (!active_) return;
        active_ = false;
        if (signal_ && signal_->unwatch()) request_.release();
    }

private:
    StopSignal* signal_;
    WinHttpHandle& request_;
    bool active_;
};
