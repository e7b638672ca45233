// The search over many update cycles: drawn sequences of service starts, run with the real
// cycle on this test's Wine prefix, each start checked by the oracle of search_run.cpp. A
// failing case is shrunk (starts dropped, fields made plain) and printed as text; the cases it
// found are kept in cases/ and replayed first.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "search_run.h"

namespace {

using namespace search;

const std::wstring kBuild = VEXTRA_BUILD_DIR_W;
const std::wstring kSource = VEXTRA_SOURCE_DIR_W;

uint64_t environmentNumber(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

class CycleSearch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(packages_.load(kBuild + L"\\search-packages"))
            << "no packages in build/<preset>/search-packages (the search_packages fixture)";
        ASSERT_TRUE(server_.listening());
        // The end of kept parts and leftovers: a part goes at a start that will not download its
        // package and with -deleteTask, an installer .tmp at the next start.
        // VEXTRA_SEARCH_PARTS_END=0 leaves that out of the oracle (for a build without it).
        rules_.partsEnd = environmentNumber("VEXTRA_SEARCH_PARTS_END", 1) != 0;
    }

    // The smallest failing case reachable from c by its shrink steps, within a budget of runs.
    Case shrink(Case c, std::string& failure) {
        for (int budget = 150; budget > 0;) {
            bool smaller = false;
            for (const Case& candidate : shrinkCandidates(c)) {
                if (--budget <= 0) break;
                const std::string f = runCase(candidate, packages_, server_, rules_);
                if (!f.empty()) {
                    c = candidate;
                    failure = f;
                    smaller = true;
                    break;
                }
            }
            if (!smaller) break;
        }
        return c;
    }

    Packages packages_;
    StopSignal& stop_ = serviceStopSignal();
    PackageServer server_{stop_};
    OracleRules rules_;
};

TEST_F(CycleSearch, KeptCasesHold) {
    WIN32_FIND_DATAW found;
    // VEXTRA_SEARCH_CASES_DIR (a Windows path ending in a backslash) replays another folder.
    std::wstring folder = kSource + L"\\tests\\service\\update\\search\\cases\\";
    if (const char* other = std::getenv("VEXTRA_SEARCH_CASES_DIR"))
        folder = std::wstring(other, other + std::strlen(other));
    HANDLE find = FindFirstFileW((folder + L"*.case").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << "no kept cases";
    int kept = 0;
    do {
        const std::string text = readWholeTextFile(folder + found.cFileName);
        Case c;
        ASSERT_TRUE(parseCase(text, c)) << "cannot read the case";
        EXPECT_EQ(runCase(c, packages_, server_, rules_), "") << text;
        ++kept;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::printf("kept cases replayed: %d\n", kept);
}

TEST_F(CycleSearch, DrawnCasesHold) {
    const uint64_t cases = environmentNumber("VEXTRA_SEARCH_CASES", 40);
    const uint64_t seconds = environmentNumber("VEXTRA_SEARCH_SECONDS", 0);
    const size_t maxStarts = static_cast<size_t>(environmentNumber("VEXTRA_SEARCH_MAX_STARTS", 8));
    const uint64_t seed = environmentNumber("VEXTRA_SEARCH_SEED", GetTickCount64() ^ GetCurrentProcessId());
    const auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    };
    uint64_t run = 0, starts = 0;
    SearchStats stats;
    for (; seconds ? elapsed() < static_cast<double>(seconds) : run < cases; ++run) {
        const Case c = drawCase(seed + run, maxStarts);
        starts += c.starts.size();
        std::string failure = runCase(c, packages_, server_, rules_, &stats);
        if (failure.empty()) continue;
        const std::string first = failure;
        const Case smallest = shrink(c, failure);
        writeWholeTextFile(kBuild + L"\\search-failed.case", caseText(smallest));
        ADD_FAILURE() << "case " << run << " of VEXTRA_SEARCH_SEED=" << (seed + run)
                      << " VEXTRA_SEARCH_CASES=1 failed:\n"
                      << caseText(c) << first << "\nshrunk to (build/<preset>/search-failed.case):\n"
                      << caseText(smallest) << failure;
        break;
    }
    const double took = elapsed();
    std::printf("search: %llu cases, %llu starts in %.1f s: %.2f cases/s, %.2f starts/s (seed %llu)\n",
                static_cast<unsigned long long>(run), static_cast<unsigned long long>(starts), took,
                run / took, starts / took, static_cast<unsigned long long>(seed));
    std::printf("search: starts by kind: %s\n", stats.text().c_str());
}

}  // namespace
