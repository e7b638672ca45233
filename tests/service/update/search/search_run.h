#pragma once
// Runs a case of the cycle search on this machine (the test's own Wine prefix) with the real
// update cycle, its registry state, kvc.cfg, staging folders, download, verification and
// installer start; the manifests come through the cycle's fetch step from the case, the package
// from the loopback server. After each start the oracle compares what happened with the rules
// of the cycle.
#include <string>

#include "package_server.h"
#include "search_case.h"

namespace search {

// The signed packages that make_search_packages.py made, and what the oracle knows of them.
struct Packages {
    std::string good[2];     // releases a and b
    std::string content[2];  // the installer each holds
    std::string digest[2];   // SHA-256 of good[i], lowercase hexadecimal
    std::string tampered;
    std::string foreign;
    bool load(const std::wstring& folder);
};

// Which checks of the oracle are on.
struct OracleRules {
    // A kept part goes at a start that will not download its package (notify or disable mode,
    // attempts exhausted, the player at the offered build, a manifest that names another
    // package), and with -deleteTask.
    bool partsEnd = true;
};

// What the starts of a run did, by the oracle's expectation: how far the search reached.
struct SearchStats {
    uint64_t kinds[7] = {};  // idle, stopped, exhausted, launched, failed, recorded, killed
    uint64_t resumed = 0;    // downloads that asked for the rest of a held part
    uint64_t partsLeft = 0;  // starts after which a part was kept
    uint64_t startsRefused = 0;  // verified installers that CreateProcessW did not start
    uint64_t msByKind[7] = {};   // time in the cycle (or the killed process) by kind
    uint64_t msBefore = 0;       // time in the options, damage and checks around the starts
    std::string text() const;
};

// One start of a case in this process, as the service's process runs it (the program that a
// killed start runs in).
void runOneStart(const Start& s, const Packages& packages, uint16_t port);

// A whole file's bytes (empty when it cannot be read), and a file written whole.
std::string readWholeTextFile(const std::wstring& path);
bool writeWholeTextFile(const std::wstring& path, const std::string& bytes);

// Runs the case from a fresh machine state; empty when every start held, else what failed
// (the start, the check, the start's log).
std::string runCase(const Case& c, const Packages& packages, PackageServer& server,
                    const OracleRules& rules, SearchStats* stats = nullptr);

}  // namespace search
