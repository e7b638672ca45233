// Drawing, shrinking and the text form of the cycle search's cases.
#include "search_case.h"

#include <cstdlib>
#include <sstream>

namespace search {

namespace {

// splitmix64: small, fast, and the same sequence on every build.
class Draw {
public:
    explicit Draw(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
    template <typename T>
    T pick(std::initializer_list<T> values) {
        return *(values.begin() + below(static_cast<uint32_t>(values.size())));
    }

private:
    uint64_t state_;
};

// Each enumeration's names in its order, for the text form.
const char* const kOptions[] = {"none", "silent", "notify", "disable", "createDefaultTask",
                                "deleteTask"};
const char* const kDamages[] = {"none", "attempts-6", "attempts-7", "attempts-huge",
                                "attempts-gone", "attempts-short", "attempts-text",
                                "frequency-0", "frequency-huge", "frequency-text",
                                "lastcheck-future", "lastcheck-short", "lastcheck-gone",
                                "key-gone"};
const char* const kVersions[] = {"good", "status", "cut", "malformed"};
const char* const kPatches[] = {"nofit", "status", "malformed", "fit"};
const char* const kBindings[] = {"none", "size", "both", "other-digest"};
const char* const kPackages[] = {"good", "tampered", "foreign", "status", "cut", "stop", "kill"};
const char* const kRanges[] = {"honour", "whole", "refuse"};
const char* const kStops[] = {"none", "at-start", "after-version", "after-patch"};

template <typename E, size_t N>
bool named(const char* const (&names)[N], const std::string& text, E& out) {
    for (size_t i = 0; i < N; ++i)
        if (text == names[i]) {
            out = static_cast<E>(i);
            return true;
        }
    return false;
}

Start drawStart(Draw& d, const Start* previous) {
    Start s;
    if (d.chance(12))
        s.option = d.pick({Option::Silent, Option::Silent, Option::Notify, Option::Disable,
                           Option::CreateDefaultTask, Option::DeleteTask});
    // The attempt limit's edge (6 and 7) is drawn as often as all other damage together.
    if (d.chance(14))
        s.damage = d.chance(50) ? d.pick({Damage::AttemptsSix, Damage::AttemptsSeven})
                                : static_cast<Damage>(1 + d.below(13));
    // Mostly enough days for the longest interval (3 days), sometimes fewer.
    s.daysPass = d.chance(65) ? d.pick({1u, 2u, 3u, 4u, 4u, 4u}) : 0;
    s.installerRan = d.chance(50);
    s.version = d.chance(80) ? VersionAnswer::Good
                             : d.pick({VersionAnswer::Status, VersionAnswer::Cut,
                                       VersionAnswer::Malformed});
    s.activeXBuild = d.pick({kInstalledBuild, kReleaseABuild, kReleaseABuild, kReleaseBBuild,
                             kOlderBuild});
    s.pluginBuild = d.pick({kInstalledBuild, kReleaseABuild, kReleaseBBuild, kOlderBuild});
    s.binding = d.chance(60) ? Binding::Both
                             : d.pick({Binding::None, Binding::SizeOnly, Binding::OtherDigest});
    s.frequency = d.pick({0u, 1u, 1u, 2u, 3u, 4u, 7u, 4294967295u});
    s.patch = d.pick({PatchAnswer::NoFit, PatchAnswer::Fit, PatchAnswer::Fit,
                      PatchAnswer::Status, PatchAnswer::Malformed});
    s.package = d.chance(45) ? PackageAnswer::Good
                             : d.pick({PackageAnswer::Tampered, PackageAnswer::Foreign,
                                       PackageAnswer::Status, PackageAnswer::Cut,
                                       PackageAnswer::Cut, PackageAnswer::Stop,
                                       PackageAnswer::Kill});
    s.perMille = d.below(1000);
    s.status = d.pick({404, 500, 206, 302});
    s.range = d.pick({Range::Honour, Range::Honour, Range::Whole, Range::Refuse});
    s.stop = d.chance(85) ? StopPoint::None
                          : d.pick({StopPoint::AtStart, StopPoint::AfterVersion,
                                    StopPoint::AfterPatch});
    // Often the servers offer what they offered before: a cut download then meets its part.
    if (previous && d.chance(50)) {
        s.activeXBuild = previous->activeXBuild;
        s.pluginBuild = previous->pluginBuild;
        s.binding = previous->binding;
        if (d.chance(50)) s.daysPass = 1 + d.below(3);
    }
    // And after a download cut short, most often the next start is due and offers it again.
    const bool cut = previous && (previous->package == PackageAnswer::Cut ||
                                  previous->package == PackageAnswer::Stop ||
                                  previous->package == PackageAnswer::Kill);
    if (cut && d.chance(70)) {
        s.option = Option::None;
        s.damage = Damage::None;
        s.daysPass = 1 + d.below(3);
        s.version = VersionAnswer::Good;
        s.activeXBuild = previous->activeXBuild;
        s.pluginBuild = previous->pluginBuild;
        s.binding = previous->binding;
        s.stop = StopPoint::None;
    }
    return s;
}

}  // namespace

Case drawCase(uint64_t seed, size_t maxStarts) {
    Draw d(seed);
    Case c;
    c.os = d.chance(50) ? OsClass::Vista7 : OsClass::Win8OrLater;
    const size_t count = 1 + d.below(static_cast<uint32_t>(maxStarts));
    for (size_t i = 0; i < count; ++i)
        c.starts.push_back(drawStart(d, c.starts.empty() ? nullptr : &c.starts.back()));
    return c;
}

std::vector<Case> shrinkCandidates(const Case& c) {
    std::vector<Case> out;
    // Whole starts dropped, from the front (the later starts are where a fault shows).
    for (size_t i = 0; i < c.starts.size() && c.starts.size() > 1; ++i) {
        Case smaller = c;
        smaller.starts.erase(smaller.starts.begin() + static_cast<std::ptrdiff_t>(i));
        out.push_back(smaller);
    }
    // One field of one start made plain.
    const Start plain;
    for (size_t i = 0; i < c.starts.size(); ++i) {
        const Start& s = c.starts[i];
        auto with = [&](auto change) {
            Case simpler = c;
            change(simpler.starts[i]);
            out.push_back(simpler);
        };
        if (s.option != plain.option) with([](Start& t) { t.option = Option::None; });
        if (s.damage != plain.damage) with([](Start& t) { t.damage = Damage::None; });
        if (s.daysPass != 0) with([](Start& t) { t.daysPass = 0; });
        if (s.installerRan) with([](Start& t) { t.installerRan = false; });
        if (s.stop != plain.stop) with([](Start& t) { t.stop = StopPoint::None; });
        if (s.range != plain.range) with([](Start& t) { t.range = Range::Honour; });
        if (s.frequency != plain.frequency) with([](Start& t) { t.frequency = 1; });
        if (s.patch != plain.patch) with([](Start& t) { t.patch = PatchAnswer::NoFit; });
        if (s.perMille != 0) with([](Start& t) { t.perMille = 0; });
    }
    return out;
}

std::string caseText(const Case& c) {
    std::ostringstream out;
    out << "os " << (c.os == OsClass::Win8OrLater ? "win8" : "vista7") << "\n";
    for (const Start& s : c.starts) {
        out << "start option=" << kOptions[static_cast<int>(s.option)]
            << " damage=" << kDamages[static_cast<int>(s.damage)] << " days=" << s.daysPass
            << " installer-ran=" << (s.installerRan ? 1 : 0)
            << " version=" << kVersions[static_cast<int>(s.version)] << " ax=" << s.activeXBuild
            << " pl=" << s.pluginBuild << " binding=" << kBindings[static_cast<int>(s.binding)]
            << " frequency=" << s.frequency << " patch=" << kPatches[static_cast<int>(s.patch)]
            << " package=" << kPackages[static_cast<int>(s.package)] << " at=" << s.perMille
            << " status=" << s.status << " range=" << kRanges[static_cast<int>(s.range)]
            << " stop=" << kStops[static_cast<int>(s.stop)] << "\n";
    }
    return out.str();
}

bool parseCase(const std::string& text, Case& out) {
    out = Case();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "os") {
            words >> word;
            out.os = word == "win8" ? OsClass::Win8OrLater : OsClass::Vista7;
            continue;
        }
        if (word != "start") return false;
        Start s;
        while (words >> word) {
            const size_t eq = word.find('=');
            if (eq == std::string::npos) return false;
            const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
            const uint32_t number = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
            bool ok = true;
            if (key == "option") ok = named(kOptions, value, s.option);
            else if (key == "damage") ok = named(kDamages, value, s.damage);
            else if (key == "days") s.daysPass = number;
            else if (key == "installer-ran") s.installerRan = number != 0;
            else if (key == "version") ok = named(kVersions, value, s.version);
            else if (key == "ax") s.activeXBuild = number;
            else if (key == "pl") s.pluginBuild = number;
            else if (key == "binding") ok = named(kBindings, value, s.binding);
            else if (key == "frequency") s.frequency = number;
            else if (key == "patch") ok = named(kPatches, value, s.patch);
            else if (key == "package") ok = named(kPackages, value, s.package);
            else if (key == "at") s.perMille = number;
            else if (key == "status") s.status = static_cast<int>(number);
            else if (key == "range") ok = named(kRanges, value, s.range);
            else if (key == "stop") ok = named(kStops, value, s.stop);
            else ok = false;
            if (!ok) return false;
        }
        out.starts.push_back(s);
    }
    return !out.starts.empty();
}

}  // namespace search
