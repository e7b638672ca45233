// Memory that runs out in the download is logged with the code of where it ran out and error 8,
// not with whatever error value an earlier call left behind.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "config/admin_config.h"
#include "download/installer_download.h"
#include "support/log_capture.h"

namespace {

// Set by a test: the next allocation through operator new fails (once), as when the heap is
// exhausted at that moment.
volatile bool failNextAllocation = false;

}  // namespace

void* operator new(std::size_t size) {
    if (failNextAllocation) {
        failNextAllocation = false;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Lines = std::vector<std::string>;
using testsupport::LogCapture;

ComponentOffer pluginOffer() {
    ComponentOffer offer;
    offer.component = PlayerComponent::Plugin;
    return offer;
}

// (where memory runs out, the line logged): before the download starts (the host's copy),
// and in the download itself (its first log line needs memory).
TEST(DownloadOutOfMemory, LoggedWithWhereItRanOutAndError8) {
    const ComponentOffer offer = pluginOffer();
    serviceSettings().downloadServerHost = L"download-host-name-longer-than-any-short-string.invalid";
    {
        LogCapture log;
        std::wstring path;
        SetLastError(1234);  // a value an earlier call left behind
        failNextAllocation = true;
        bool result = true;
        EXPECT_NO_THROW(result = downloadInstaller(&offer, path));
        failNextAllocation = false;
        EXPECT_FALSE(result);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(log.lines(), (Lines{"error 1236 8"}));
    }
    {
        LogCapture log;
        PackageSource source;
        source.host = L"download-host-name-longer-than-any-short-string.invalid";
        std::wstring path;
        SetLastError(1234);
        failNextAllocation = true;
        bool result = true;
        EXPECT_NO_THROW(result = downloadInstaller(&offer, source, path));
        failNextAllocation = false;
        EXPECT_FALSE(result);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(log.lines(), (Lines{"error 1344 8"}));
    }
}

}  // namespace
