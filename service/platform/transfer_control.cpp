#include "platform/transfer_control.h"

bool applyTransferTimeouts(HINTERNET session) {
    return WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                              kReceiveTimeoutMs) != FALSE;
}

TransferDeadlines& transferDeadlines() {
    static TransferDeadlines deadlines;
    return deadlines;
}

StopSignal::StopSignal() { InitializeCriticalSection(&lock_); }

StopSignal::~StopSignal() { DeleteCriticalSection(&lock_); }

void StopSignal::request() {
    EnterCriticalSection(&lock_);
    stopped_ = true;
    if (watched_ && !watchedClosed_) {
        // Closing a request from another thread is how WinHTTP cancels a synchronous call on it.
        WinHttpCloseHandle(watched_);
        watchedClosed_ = true;
    }
    LeaveCriticalSection(&lock_);
}

bool StopSignal::requested() const {
    EnterCriticalSection(&lock_);
    const bool stopped = stopped_;
    LeaveCriticalSection(&lock_);
    return stopped;
}

void StopSignal::reset() {
    EnterCriticalSection(&lock_);
    stopped_ = false;
    LeaveCriticalSection(&lock_);
}

bool StopSignal::watch(HINTERNET request) {
    EnterCriticalSection(&lock_);
    const bool accepted = !stopped_;
    if (accepted) {
        watched_ = request;
        watchedClosed_ = false;
    }
    LeaveCriticalSection(&lock_);
    return accepted;
}

bool StopSignal::unwatch() {
    EnterCriticalSection(&lock_);
    const bool closed = watchedClosed_;
    watched_ = nullptr;
    watchedClosed_ = false;
    LeaveCriticalSection(&lock_);
    return closed;
}

StopSignal& serviceStopSignal() {
    static StopSignal signal;
    return signal;
}
