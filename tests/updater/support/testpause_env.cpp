// The test build's pause points: DESKTOP_UPDATER_TEST_PAUSE=<point>:<n> holds the program at the
// n-th call of testPause(<point>) for ever, after writing the file DESKTOP_UPDATER_TEST_PAUSED
// names, so that a test can kill it exactly there. Only desktop-updater-hooks links this file.
#include "transaction/testpause.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

void testPause(const char* point)
{
    static int calls = 0;
    const char* wanted = std::getenv("DESKTOP_UPDATER_TEST_PAUSE");
    if (!wanted) return;
    const std::string w(wanted);
    const size_t colon = w.find(':');
    if (colon == std::string::npos || w.compare(0, colon, point) != 0) return;
    if (++calls != std::atoi(w.c_str() + colon + 1)) return;
    if (const char* marker = std::getenv("DESKTOP_UPDATER_TEST_PAUSED")) {
        if (FILE* f = std::fopen(marker, "w")) {
            std::fprintf(f, "%s:%d\n", point, calls);
            std::fclose(f);
        }
    }
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
