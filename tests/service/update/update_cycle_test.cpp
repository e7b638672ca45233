// The update cycle's decisions, with scripted answers from its steps: which steps run, in which
// order, what is recorded, and which codes reach the log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "update/update_cycle.h"

namespace {

using Lines = std::vector<std::string>;
using testsupport::LogCapture;

ComponentOffer offer(PlayerComponent component, uint32_t buildMinor) {
    ComponentOffer o;
    o.component = component;
    o.version = {11, 2, 202, buildMinor};
    return o;
}

// Scripted steps that record every call as a short word.
class ScriptedSteps : public UpdateCycleSteps {
public:
    bool due = true;
    bool versionFetchOk = true;
    bool patchFetchOk = true;
    bool activeXNeeded = false;
    bool pluginNeeded = false;
    bool attemptsKnown = false;
    uint32_t attempts = 0;
    bool launchOk = true;
    DWORD launchError = 0;
    uint32_t manifestFrequency = 2;
    std::string stopDuring;  // the call during which a stop request arrives
    bool stopped = false;
    std::vector<std::string> calls;
    bool recordedWithFrequency = false;
    uint32_t recordedFrequency = 0;

    PackageBinding activeXPatch;  // what the patch manifest binds the ActiveX patch to

    bool isCheckDue() override {
        calls.push_back("due?");
        return due;
    }
    bool fetchManifest(VersionManifest& manifest, bool patch) override {
        calls.push_back(patch ? "fetch-patch" : "fetch-version");
        stopped = stopped || stopDuring == calls.back();
        if (patch) {
            if (manifest.activeX) {
                manifest.activeX->patchApplies = true;
                manifest.activeX->patchPackage = activeXPatch;
            }
            return patchFetchOk;
        }
        if (!versionFetchOk) return false;
        manifest.activeX.reset(new ComponentOffer(offer(PlayerComponent::ActiveX, 235)));
        manifest.plugin.reset(new ComponentOffer(offer(PlayerComponent::Plugin, 235)));
        manifest.checkFrequency.reset(new uint32_t(manifestFrequency));
        return true;
    }
    bool isUpdateNeeded(const ComponentOffer& o) override {
        bool ax = o.component == PlayerComponent::ActiveX;
        calls.push_back(ax ? "need-ax?" : "need-pl?");
        return ax ? activeXNeeded : pluginNeeded;
    }
    bool readUpdateAttempts(uint32_t& count) override {
        calls.push_back("attempts?");
        if (attemptsKnown) count = attempts;
        return attemptsKnown;
    }
    bool incrementUpdateAttempts() override {
        calls.push_back("attempts++");
        attempts = attemptsKnown ? attempts + 1 : 1;
        attemptsKnown = true;
        return true;
    }
    bool launchInstaller(const ComponentOffer& o) override {
        calls.push_back(o.component == PlayerComponent::ActiveX ? "launch-ax" : "launch-pl");
        if (stopDuring == "launch") {
            stopped = true;
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        if (stopDuring == "launch-after-failure") {  // the package was refused, then the stop came
            stopped = true;
            SetLastError(launchError);
            return false;
        }
        if (!launchOk) SetLastError(launchError);
        return launchOk;
    }
    bool restoreUpdateAttempts(const uint32_t* count) override {
        calls.push_back(count ? "attempts=" + std::to_string(*count) : "attempts-removed");
        attemptsKnown = count != nullptr;
        if (count) attempts = *count;
        return true;
    }
    bool stopRequested() override { return stopped; }
    bool setNotifyMode() override {
        calls.push_back("notify");
        return true;
    }
    void recordCheck(const uint32_t* frequency) override {
        calls.push_back("record");
        recordedWithFrequency = frequency != nullptr;
        if (frequency) recordedFrequency = *frequency;
    }
    // Not a call word: when the parts are decided on is seen through launchesBefore.
    std::vector<KeptPartFacts> partDecisions;
    size_t launchesBeforeParts = 0;
    void removeKeptParts(const KeptPartFacts& facts) override {
        partDecisions.push_back(facts);
        launchesBeforeParts = 0;
        for (const std::string& c : calls) launchesBeforeParts += c.rfind("launch", 0) == 0;
    }
};

ServiceSettings enabled() {
    ServiceSettings s;
    s.silentAutoUpdateEnabled = true;
    return s;
}

using Calls = std::vector<std::string>;

TEST(UpdateCycle, SwitchedOffCyclesOnlyMarkStartAndEnd) {
    struct Case { bool enabled; bool disabled; } cases[] = {{false, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        LogCapture log;
        ScriptedSteps steps;
        ServiceSettings settings;
        settings.silentAutoUpdateEnabled = c.enabled;
        settings.autoUpdateDisabled = c.disabled;
        runUpdateCycle(settings, steps);
        EXPECT_TRUE(steps.calls.empty()) << "no check, no fetch, no registry work";
        EXPECT_EQ(log.lines(), (Lines{"info 1608", "info 1612"}));
    }
}

TEST(UpdateCycle, NotDueEndsWithoutFetching) {
    LogCapture log;
    ScriptedSteps steps;
    steps.due = false;
    runUpdateCycle(enabled(), steps);
    EXPECT_EQ(steps.calls, (Calls{"attempts?", "due?"}));
    EXPECT_EQ(log.lines(), (Lines{"info 1608", "info 1612"}));
}

TEST(UpdateCycle, FailedVersionFetchRecordsNothing) {
    LogCapture log;
    ScriptedSteps steps;
    steps.versionFetchOk = false;
    runUpdateCycle(enabled(), steps);
    EXPECT_EQ(steps.calls, (Calls{"attempts?", "due?", "fetch-version"}));
}

TEST(UpdateCycle, UpToDateRecordsTheCheckWithTheManifestFrequency) {
    LogCapture log;
    ScriptedSteps steps;
    steps.manifestFrequency = 7;  // clamping is the store's business; the cycle passes it on
    runUpdateCycle(enabled(), steps);
    EXPECT_EQ(steps.calls, (Calls{"attempts?", "due?", "fetch-version", "need-ax?", "need-pl?", "attempts?",
                                  "need-ax?", "need-pl?", "record"}));
    EXPECT_TRUE(steps.recordedWithFrequency);
    EXPECT_EQ(steps.recordedFrequency, 7u);
    EXPECT_EQ(log.lines(), (Lines{"info 1608", "info 1612"}));
}

TEST(UpdateCycle, ActiveXHasPriorityAndASuccessfulLaunchRecordsNoCheck) {
    LogCapture log;
    ScriptedSteps steps;
    steps.activeXNeeded = true;
    steps.pluginNeeded = true;
    runUpdateCycle(enabled(), steps);
    EXPECT_EQ(steps.calls, (Calls{"attempts?", "due?", "fetch-version", "need-ax?", "fetch-patch", "attempts?",
                                  "need-ax?", "attempts++", "launch-ax"}));
    EXPECT_EQ(steps.attempts, 1u);
    EXPECT_EQ(log.lines(), (Lines{"info 1608", "info 1609", "info 1612"}));
}

TEST(UpdateCycle, PluginLaunchWhenOnlyThePluginIsOld) {
    LogCapture log;
    ScriptedSteps steps;
    steps.pluginNeeded = true;
    steps.attemptsKnown = true;
    steps.attempts = 6;  // six still proceeds
    runUpdateCycle(enabled(), steps);
    EXPECT_EQ(steps.calls, (Calls{"attempts?", "due?", "fetch-version", "need-ax?", "need-pl?", "fetch-patch",
                                  "attempts?", "need-ax?", "need-pl?", "attempts++", "launch-pl"}));
    EXPECT_EQ(steps.attempts, 7u);
    EXPECT_EQ(log.lines(), (Lines{"info 1608", "info 1610", "info 1612"}));
}

TEST(UpdateCycle, FailedLaunchLogsItsErrorAndRecordsTheCheck) {
    struct Case { bool activeX; const char* line; } cases[] = {
        {true, "error 1234 12029"}, {false, "error 1300 12029"}};
    for (const auto& c : cases) {
        LogCapture log;
        ScriptedSteps steps;
        steps.activeXNeeded = c.activeX;
        steps.pluginNeeded = !c.activeX;
        steps.launchOk = false;
        steps.launchError = 12029;
        runUpdateCycle(enabled(), steps);
        EXPECT_EQ(steps.calls.back(), "record");
        EXPECT_EQ(log.lines(), (Lines{"info 1608", c.line, "info 1612"}));
    }
}

TEST(UpdateCycle, SevenAttemptsSwitchToNotifyModeWhetherOrNotAnUpdateIsNeeded) {
    for (bool needed : {true, false}) {
        LogCapture log;
        ScriptedSteps steps;
        steps.activeXNeeded = needed;
        steps.attemptsKnown = true;
        steps.attempts = 7;
        runUpdateCycle(enabled(), steps);
        Calls expected{"attempts?", "due?", "fetch-version", "need-ax?"};
        if (needed) expected.push_back("fetch-patch");
        else expected.push_back("need-pl?");
        expected.insert(expected.end(), {"attempts?", "notify", "record"});
        EXPECT_EQ(steps.calls, expected);
        EXPECT_EQ(steps.attempts, 7u) << "no launch, no increment";
        EXPECT_EQ(log.lines(), (Lines{"info 1608", "error 1301", "info 1612"}));
    }
}

TEST(UpdateCycle, AStopIsNoFailedUpdateNothingIsCountedOrRecorded) {
    struct Case {
        const char* stopDuring;
        bool attemptsKnown;
        Calls tail;   // the calls after the version fetch and the first need-ax?
        Lines log;
    } cases[] = {
        {"fetch-patch", true, {"need-pl?", "fetch-patch"},
         {"info 1608", "warning 1480", "info 1612"}},
        {"launch", true,
         {"need-pl?", "fetch-patch", "attempts?", "need-ax?", "need-pl?", "attempts++",
          "launch-pl", "attempts=6"},
         {"info 1608", "error 1300 995", "warning 1480", "info 1612"}},
        {"launch", false,
         {"need-pl?", "fetch-patch", "attempts?", "need-ax?", "need-pl?", "attempts++",
          "launch-pl", "attempts-removed"},
         {"info 1608", "error 1300 995", "warning 1480", "info 1612"}},
    };
    for (const auto& c : cases) {
        LogCapture log;
        ScriptedSteps steps;
        steps.pluginNeeded = true;
        steps.attemptsKnown = c.attemptsKnown;
        steps.attempts = 6;  // one more counted attempt would end silent updating
        steps.stopDuring = c.stopDuring;
        runUpdateCycle(enabled(), steps);
        Calls expected{"attempts?", "due?", "fetch-version", "need-ax?"};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(steps.calls, expected) << c.stopDuring;
        EXPECT_EQ(steps.attemptsKnown, c.attemptsKnown);
        EXPECT_EQ(log.lines(), c.log) << c.stopDuring;
    }
}

// (attempts recorded before, the failure's error): a stop that arrives after the launch failed
// on its own gives nothing back: the attempt counts and the check is recorded, as without a stop.
TEST(UpdateCycle, AStopAfterAnUnrelatedFailureKeepsTheAttempt) {
    const struct {
        bool attemptsKnown;
        DWORD error;
        const char* logged;
    } cases[] = {
        {true, static_cast<DWORD>(NTE_BAD_SIGNATURE), "error 1300 -2146893818"},
        {false, 404, "error 1300 404"},
        {true, ERROR_DISK_FULL, "error 1300 112"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        ScriptedSteps steps;
        steps.pluginNeeded = true;
        steps.attemptsKnown = c.attemptsKnown;
        steps.attempts = 5;
        steps.launchError = c.error;
        steps.stopDuring = "launch-after-failure";
        runUpdateCycle(enabled(), steps);
        EXPECT_EQ(steps.calls.back(), "record") << c.error;
        EXPECT_EQ(steps.calls[steps.calls.size() - 2], "launch-pl") << c.error;
        EXPECT_TRUE(steps.attemptsKnown);
        EXPECT_EQ(steps.attempts, c.attemptsKnown ? 6u : 1u) << c.error;
        EXPECT_EQ(log.lines(), (Lines{"info 1608", c.logged, "info 1612"})) << c.error;
    }
}

TEST(UpdateCycle, FailedPatchFetchStillLaunchesTheFullInstaller) {
    LogCapture log;
    ScriptedSteps steps;
    steps.pluginNeeded = true;
    steps.patchFetchOk = false;
    runUpdateCycle(enabled(), steps);
    EXPECT_EQ(steps.calls.back(), "launch-pl");
}

const std::string kDigest(64, 'a');

// What each kind of start knows when it decides on the kept parts: asked exactly once, and
// before any launch, so the download that follows has the disk space.
TEST(UpdateCycle, KeptPartsAreDecidedOnceBeforeAnyDownloadWithWhatTheStartKnows) {
    struct Case {
        const char* name;
        bool enabled, due, fetchOk, activeX, plugin, bound;
        uint32_t attempts;  // 0: none recorded
        const char* stopDuring;
        KeptPartFacts expected;
    };
    const KeptPartFacts off{false, false, false, false, ""};
    const KeptPartFacts unknown{true, false, false, false, ""};
    const KeptPartFacts exhausted{true, true, false, false, ""};
    const KeptPartFacts upToDate{true, false, true, false, ""};
    const KeptPartFacts boundPatch{true, false, true, true, kDigest};
    const KeptPartFacts unboundDownload{true, false, true, true, ""};
    const Case cases[] = {
        {"switched off", false, true, true, true, false, true, 0, "", off},
        {"not due", true, false, true, true, false, true, 0, "", unknown},
        {"fetch failed", true, true, false, true, false, true, 0, "", unknown},
        {"seven attempts, not due", true, false, true, true, false, true, 7, "", exhausted},
        {"seven attempts, due", true, true, true, true, false, true, 7, "", exhausted},
        {"up to date", true, true, true, false, false, true, 0, "", upToDate},
        {"bound patch downloads", true, true, true, true, true, true, 3, "", boundPatch},
        {"unbound package downloads", true, true, true, true, false, false, 0, "",
         unboundDownload},
        {"stop in the patch fetch", true, true, true, true, false, true, 0, "fetch-patch",
         unknown},
    };
    for (const Case& c : cases) {
        LogCapture log;
        ScriptedSteps steps;
        ServiceSettings settings;
        settings.silentAutoUpdateEnabled = c.enabled;
        steps.due = c.due;
        steps.versionFetchOk = c.fetchOk;
        steps.activeXNeeded = c.activeX;
        steps.pluginNeeded = c.plugin;
        steps.attemptsKnown = c.attempts > 0;
        steps.attempts = c.attempts;
        steps.stopDuring = c.stopDuring;
        if (c.bound) steps.activeXPatch = {true, 1000, kDigest};
        runUpdateCycle(settings, steps);
        ASSERT_EQ(steps.partDecisions.size(), 1u) << c.name;
        const KeptPartFacts& got = steps.partDecisions[0];
        EXPECT_EQ(got.silentUpdates, c.expected.silentUpdates) << c.name;
        EXPECT_EQ(got.attemptsExhausted, c.expected.attemptsExhausted) << c.name;
        EXPECT_EQ(got.offersKnown, c.expected.offersKnown) << c.name;
        EXPECT_EQ(got.downloadFollows, c.expected.downloadFollows) << c.name;
        EXPECT_EQ(got.downloadDigest, c.expected.downloadDigest) << c.name;
        EXPECT_EQ(steps.launchesBeforeParts, 0u) << c.name;
    }
}

}  // namespace
