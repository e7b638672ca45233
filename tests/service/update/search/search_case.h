#pragma once
// One case of the update cycle search: a machine (its Windows generation) and a sequence of
// service starts, each with what happens before it (an administration option, damage to the
// registry values, days passing, the last installer having run) and what the servers answer in
// it (the version and patch manifests, the package, a stop). Plain data with a text form, so
// that a failing case can be printed, kept and replayed.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os_version.h"

namespace search {

enum class Option { None, Silent, Notify, Disable, CreateDefaultTask, DeleteTask };
enum class Damage {
    None, AttemptsSix, AttemptsSeven, AttemptsHuge, AttemptsGone, AttemptsShort, AttemptsText,
    FrequencyZero, FrequencyHuge, FrequencyText, LastCheckFuture, LastCheckShort, LastCheckGone,
    KeyGone
};
enum class VersionAnswer { Good, Status, Cut, Malformed };
// Fit: an entry for each component whose digest is that of the installed player file.
enum class PatchAnswer { NoFit, Status, Malformed, Fit };
// What the version manifest says of the package: nothing, its size only, size and digest, or
// size and the digest of another release.
enum class Binding { None, SizeOnly, Both, OtherDigest };
// Kill: the start runs in a process of its own, ended (TerminateProcess) once that much of the
// body was sent, so that nothing of it runs to its end, as when the service is killed.
enum class PackageAnswer { Good, Tampered, Foreign, Status, Cut, Stop, Kill };
enum class Range { Honour, Whole, Refuse };
// Where a stop request comes (Download: PackageAnswer::Stop says when).
enum class StopPoint { None, AtStart, AfterVersion, AfterPatch };

// The builds a manifest offers: the installed one (228), the two releases, an older build.
constexpr uint32_t kInstalledBuild = 228;
constexpr uint32_t kReleaseABuild = 235;
constexpr uint32_t kReleaseBBuild = 236;
constexpr uint32_t kOlderBuild = 220;

struct Start {
    Option option = Option::None;
    Damage damage = Damage::None;
    uint32_t daysPass = 0;      // LastUpdateCheck moved back this many days (and 1 hour)
    bool installerRan = false;  // the installer the last start launched updated the player
    VersionAnswer version = VersionAnswer::Good;
    uint32_t activeXBuild = kReleaseABuild;
    uint32_t pluginBuild = kInstalledBuild;
    Binding binding = Binding::Both;
    uint32_t frequency = 1;  // the manifest's checkFrequency
    PatchAnswer patch = PatchAnswer::NoFit;
    PackageAnswer package = PackageAnswer::Good;
    uint32_t perMille = 0;  // where a cut or a stop comes in the body, of its length
    int status = 404;       // the package reply's status for PackageAnswer::Status
    Range range = Range::Honour;
    StopPoint stop = StopPoint::None;
};

struct Case {
    OsClass os = OsClass::Vista7;
    std::vector<Start> starts;
};

// Draws a case from the seed: 1 to maxStarts starts.
Case drawCase(uint64_t seed, size_t maxStarts);
// Smaller cases made from a failing one, smallest first: starts dropped, fields made plain.
std::vector<Case> shrinkCandidates(const Case& c);
// The text form, one line per start ("start option=notify version=good ax=235 ...").
std::string caseText(const Case& c);
// Reads the text form; false on a line it does not know.
bool parseCase(const std::string& text, Case& out);

}  // namespace search
