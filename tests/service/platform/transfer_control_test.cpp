// The pieces that bound a transfer, without a network: the deadline, the stop signal and the
// pump that runs WinHTTP calls on its helper thread.
#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include "platform/transfer_control.h"

TEST(TransferControl, PumpRunsTheCallOrGivesWayToTheStopAndTheDeadline) {
    StopSignal stop;
    const TransferDeadline open(60 * 1000);

    // A call that fails comes back Done with its own error (no request: an invalid handle).
    {
        RequestPump pump(nullptr, &stop, open);
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
        RequestPump pump(nullptr, &stop, passed);
        bool ok = true;
        EXPECT_EQ(pump.send(ok), RequestPump::Outcome::DeadlinePassed);
        EXPECT_FALSE(ok);
    }
    stop.request();
    EXPECT_TRUE(stop.requested());
    {
        RequestPump pump(nullptr, &stop, open);
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
