// The pieces that bound a transfer, without a network: the deadline, the stop signal and the
// pump that runs WinHTTP calls on its helper thread.
#include <gtest/gtest.h>

#include <cstring>

#include <windows.h>
#include <winhttp.h>

#include "platform/transfer_control.h"
#include "platform/winhttp_handle.h"

TEST(TransferControl, PumpRunsTheCallOrGivesWayToTheStopAndTheDeadline) {
    StopSignal stop;
    const TransferDeadline open(60 * 1000);

    // A call that fails comes back Done with its own error (no request: an invalid handle).
    WinHttpHandle none;
    {
        RequestPump pump(none, &stop, open);
        bool ok = true;
        EXPECT_EQ(pump.send(ok), RequestPump::Outcome::Done);
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        DWORD available = 1;
        EXPECT_EQ(pump.queryDataAvailable(available, ok), RequestPump::Outcome::Done);
        EXPECT_FALSE(ok);
        EXPECT_EQ(available, 0u);
    }

    // A deadline already passed, then a raised stop, win before any call is made.
    {
        const TransferDeadline passed(0);
        RequestPump pump(none, &stop, passed);
        bool ok = true;
        EXPECT_EQ(pump.send(ok), RequestPump::Outcome::DeadlinePassed);
        EXPECT_FALSE(ok);
    }
    stop.request();
    EXPECT_TRUE(stop.requested());
    {
        RequestPump pump(none, &stop, open);
        const uint8_t* data = nullptr;
        DWORD read = 1;
        bool ok = true;
        EXPECT_EQ(pump.readData(16, data, read, ok), RequestPump::Outcome::Stopped);
        EXPECT_FALSE(ok);
        EXPECT_EQ(read, 0u);
    }
    stop.reset();
    EXPECT_FALSE(stop.requested());
}

TEST(TransferControl, SessionsGetTheTransferTimeOuts) {
    HINTERNET session = WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(applyTransferTimeouts(session));
    DWORD value = 0;
    DWORD size = sizeof(value);
    ASSERT_TRUE(WinHttpQueryOption(session, WINHTTP_OPTION_RECEIVE_TIMEOUT, &value, &size));
    EXPECT_EQ(value, static_cast<DWORD>(kReceiveTimeoutMs));
    size = sizeof(value);
    ASSERT_TRUE(WinHttpQueryOption(session, WINHTTP_OPTION_CONNECT_TIMEOUT, &value, &size));
    EXPECT_EQ(value, static_cast<DWORD>(kConnectTimeoutMs));
    WinHttpCloseHandle(session);
}

namespace {

// Calls that stand for a helper thread held up on its way into WinHTTP: each says it has
// entered, waits, and then notes whether the caller had closed the request meanwhile.
HANDLE callEntered = nullptr;
volatile LONG closedByCaller = 0;
volatile LONG usedAfterClose = 0;
volatile LONG closedByHelper = 0;

BOOL heldUpCall(HINTERNET) {
    SetEvent(callEntered);
    Sleep(300);
    if (closedByCaller) InterlockedExchange(&usedAfterClose, 1);
    return TRUE;
}
BOOL heldUpQuery(HINTERNET request, DWORD* available) {
    *available = 0;
    return heldUpCall(request);
}
BOOL heldUpRead(HINTERNET request, void*, DWORD, DWORD* read) {
    *read = 0;
    return heldUpCall(request);
}
BOOL noteClose(HINTERNET) {
    InterlockedExchange(&closedByHelper, 1);
    return TRUE;
}
const RequestCalls heldUpCalls = {&heldUpCall, &heldUpCall, &heldUpQuery, &heldUpRead, &noteClose};

StopSignal* stopToRaise = nullptr;
DWORD WINAPI raiseStopOnceEntered(void*) {
    WaitForSingleObject(callEntered, INFINITE);
    stopToRaise->request();
    return 0;
}

}  // namespace

TEST(TransferControl, ARequestGivenUpInsideACallIsClosedAfterTheCallNeverUnderIt) {
    using Operation = RequestPump::Outcome (*)(RequestPump&);
    const Operation operations[] = {
        [](RequestPump& p) { bool ok; return p.send(ok); },
        [](RequestPump& p) { bool ok; return p.receiveResponse(ok); },
        [](RequestPump& p) { DWORD n; bool ok; return p.queryDataAvailable(n, ok); },
        [](RequestPump& p) { const uint8_t* d; DWORD n; bool ok; return p.readData(16, d, n, ok); },
        [](RequestPump& p) {
            const uint8_t* d; DWORD n; bool end, ok;
            return p.readBlock(16, d, n, end, ok);
        },
    };
    for (const Operation& operation : operations) {
        StopSignal stop;
        stopToRaise = &stop;
        callEntered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        closedByCaller = usedAfterClose = closedByHelper = 0;
        WinHttpHandle request(reinterpret_cast<HINTERNET>(0x5a50));
        HANDLE stopper = CreateThread(nullptr, 0, &raiseStopOnceEntered, nullptr, 0, nullptr);
        ASSERT_NE(stopper, nullptr);
        {
            const TransferDeadline open(60 * 1000);
            RequestPump pump(request, &stop, open, heldUpCalls);
            EXPECT_EQ(operation(pump), RequestPump::Outcome::Stopped);
            // What the caller still holds it closes at once, as the transfers do (and Wine
            // may give the next request the same handle value).
            if (request) {
                InterlockedExchange(&closedByCaller, 1);
                request.release();
            }
        }
        WaitForSingleObject(stopper, INFINITE);
        CloseHandle(stopper);
        Sleep(600);  // the held-up call returns
        EXPECT_FALSE(usedAfterClose) << "the helper used a request the caller had closed";
        EXPECT_TRUE(closedByHelper) << "the helper closes the request it was given up inside";
        CloseHandle(callEntered);
    }
}

namespace {

DWORD askedToRead = 0;
const void* readInto = nullptr;
BOOL fillRead(HINTERNET, void* buffer, DWORD size, DWORD* read) {
    askedToRead = size;
    readInto = buffer;
    const DWORD n = size < 16 ? size : 16;
    if (buffer) std::memset(buffer, 0x5a, n);
    *read = n;
    return TRUE;
}
BOOL succeed(HINTERNET) { return TRUE; }
BOOL noneAvailable(HINTERNET, DWORD* available) {
    *available = 0;
    return TRUE;
}
const RequestCalls fillingCalls = {&succeed, &succeed, &noneAvailable, &fillRead, &succeed};

}  // namespace

// (size asked of readData, size WinHTTP is asked for): the pump's buffer always holds what
// WinHTTP may write; the largest sizes are read a block at a time instead of wrapping to a
// buffer of nothing.
TEST(TransferControl, ReadDataNeverAsksWinHttpForMoreThanItsBuffer) {
    const struct {
        DWORD size;
        DWORD asked;
    } cases[] = {
        {0, 0},
        {16, 16},
        {kTransferBlockBytes, kTransferBlockBytes},
        {kTransferBlockBytes + 1, kTransferBlockBytes},
        {0xFFFFFFFEu, kTransferBlockBytes},
        {0xFFFFFFFFu, kTransferBlockBytes},
    };
    for (const auto& c : cases) {
        WinHttpHandle request(reinterpret_cast<HINTERNET>(0x5a51));
        const TransferDeadline open(60 * 1000);
        {
            RequestPump pump(request, nullptr, open, fillingCalls);
            askedToRead = 0xDEADu;
            readInto = nullptr;
            const uint8_t* data = nullptr;
            DWORD read = 0;
            bool ok = false;
            ASSERT_EQ(pump.readData(c.size, data, read, ok), RequestPump::Outcome::Done);
            EXPECT_TRUE(ok) << c.size;
            EXPECT_EQ(askedToRead, c.asked) << c.size;
            EXPECT_NE(readInto, nullptr) << c.size;
            EXPECT_EQ(data, readInto) << c.size;
            EXPECT_EQ(read, c.asked < 16 ? c.asked : 16u) << c.size;
        }
        request.release();  // a stand-in value, never a WinHTTP handle
    }
}

namespace {

// Each read fills what it is asked for with the number of its call (1, 2, ...).
volatile LONG readCalls = 0;
BOOL numberedRead(HINTERNET, void* buffer, DWORD size, DWORD* read) {
    const LONG call = InterlockedIncrement(&readCalls);
    std::memset(buffer, static_cast<int>(call), size);
    *read = size;
    return TRUE;
}
const RequestCalls numberedCalls = {&succeed, &succeed, &noneAvailable, &numberedRead, &succeed};

bool allBytes(const uint8_t* data, DWORD size, uint8_t value) {
    for (DWORD i = 0; i < size; ++i)
        if (data[i] != value) return false;
    return true;
}

}  // namespace

// The next block is read while the caller still holds the last one: into the other buffer,
// leaving the caller's bytes as they were, with the size startNextBlock gave.
TEST(TransferControl, TheNextBlockIsReadBesideTheBlockTheCallerHolds) {
    WinHttpHandle request(reinterpret_cast<HINTERNET>(0x5a52));
    const TransferDeadline open(60 * 1000);
    {
        readCalls = 0;
        RequestPump pump(request, nullptr, open, numberedCalls);
        const uint8_t* first = nullptr;
        DWORD read = 0;
        bool ended = false, ok = false;
        ASSERT_EQ(pump.readBlock(64, first, read, ended, ok), RequestPump::Outcome::Done);
        ASSERT_TRUE(ok);
        ASSERT_EQ(read, 64u);
        ASSERT_TRUE(allBytes(first, 64, 1));

        pump.startNextBlock(32);
        const uint8_t* second = nullptr;
        // The limit given here does not count: the block under way is the one taken.
        ASSERT_EQ(pump.readBlock(4096, second, read, ended, ok), RequestPump::Outcome::Done);
        ASSERT_TRUE(ok);
        EXPECT_EQ(read, 32u);
        EXPECT_NE(second, first);
        EXPECT_TRUE(allBytes(second, 32, 2));
        EXPECT_TRUE(allBytes(first, 64, 1)) << "the next block was read over the caller's";

        pump.startNextBlock(16);
        const uint8_t* third = nullptr;
        ASSERT_EQ(pump.readBlock(16, third, read, ended, ok), RequestPump::Outcome::Done);
        EXPECT_NE(third, second);
        EXPECT_TRUE(allBytes(third, 16, 3));
        EXPECT_TRUE(allBytes(second, 32, 2)) << "the next block was read over the caller's";
    }
    request.release();  // a stand-in value, never a WinHTTP handle
}

// A pump that goes while its next block is under way gives the helper up as a stop does: the
// request is closed by the helper after its call, never under it.
TEST(TransferControl, APumpGoneWithABlockUnderWayClosesTheRequestAfterTheCall) {
    StopSignal stop;
    callEntered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    closedByCaller = usedAfterClose = closedByHelper = 0;
    WinHttpHandle request(reinterpret_cast<HINTERNET>(0x5a53));
    {
        const TransferDeadline open(60 * 1000);
        RequestPump pump(request, &stop, open, heldUpCalls);
        pump.startNextBlock(16);
        WaitForSingleObject(callEntered, INFINITE);  // the helper is inside WinHttpReadData
    }
    // What the caller still holds it closes at once, as the transfers do.
    EXPECT_FALSE(request) << "the request was left to the caller while a call was under way";
    if (request) {
        InterlockedExchange(&closedByCaller, 1);
        request.release();
    }
    Sleep(600);  // the held-up call returns
    EXPECT_FALSE(usedAfterClose) << "the helper used a request the caller had closed";
    EXPECT_TRUE(closedByHelper) << "the helper closes the request it was given up inside";
    CloseHandle(callEntered);
}
