// The test build's close deadline: DESKTOP_UPDATER_TEST_CLOSE_MS=<ms> shortens it, so that an
// end-to-end test of an application that ignores the request does not wait 30 s. Only
// desktop-updater-hooks links this file.
#include "procedure/closedeadline.h"

#include <cstdlib>

unsigned applicationCloseDeadlineMs()
{
    if (const char* ms = std::getenv("DESKTOP_UPDATER_TEST_CLOSE_MS")) return static_cast<unsigned>(std::strtoul(ms, nullptr, 10));
    return kApplicationCloseDeadlineMs;
}
