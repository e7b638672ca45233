// The update cycle driver: one run per service start.
#include "update/update_cycle.h"

#include <windows.h>

#include <new>
#include <string>

#include "log/service_log.h"
#include "config/update_state.h"
#include "download/installer_write.h"
#include "download/package_transfer.h"
#include "download/staging_folder.h"
#include "manifest/manifest_fetch.h"
#include "update/installer_launch.h"
#include "platform/transfer_control.h"
#include "player/player_detection.h"

namespace {

void logCode(LogLevel level, MessageCode code) { ServiceLog::write(level, codeText(code)); }

void logCodeWithLastError(MessageCode code) {
    DWORD error = GetLastError();
    ServiceLog::write(LogLevel::Error, codeText(code, static_cast<int32_t>(error)));
}

bool needsUpdate(UpdateCycleSteps& steps, const std::unique_ptr<ComponentOffer>& offer) {
    return offer && steps.isUpdateNeeded(*offer);
}

enum class Outcome { Record, Launched, Stopped };

// One installer launch, counted as an attempt beforehand (a launch that takes the service down
// still counts). A stop that cut it short gives the count back; a launch that failed on its
// own (a refused package, say) stays counted even when a stop arrived meanwhile.
Outcome launch(UpdateCycleSteps& steps, const ComponentOffer& offer, const uint32_t* attempts,
               MessageCode started, MessageCode failed) {
    steps.incrementUpdateAttempts();
    if (steps.launchInstaller(offer)) {
        logCode(LogLevel::Info, started);
        return Outcome::Launched;
    }
    const DWORD cause = GetLastError();
    logCodeWithLastError(failed);
    if (cause != ERROR_OPERATION_ABORTED || !steps.stopRequested()) return Outcome::Record;
    steps.restoreUpdateAttempts(attempts);
    return Outcome::Stopped;
}

// The component whose package this cycle downloads: ActiveX before the plug-in; none when
// neither needs an update.
const ComponentOffer* offerToDownload(UpdateCycleSteps& steps, const VersionManifest& manifest) {
    if (needsUpdate(steps, manifest.activeX)) return manifest.activeX.get();
    if (needsUpdate(steps, manifest.plugin)) return manifest.plugin.get();
    return nullptr;
}

// The part of the cycle that follows a successful version fetch: whether the check is to be
// recorded (not after a successful launch, so the next start checks again, nor after a stop).
// The kept parts are decided on here once the offers are known (partsDecided).
Outcome decideAndLaunch(UpdateCycleSteps& steps, VersionManifest& manifest, KeptPartFacts& facts,
                        bool& partsDecided) {
    if (needsUpdate(steps, manifest.activeX) || needsUpdate(steps, manifest.plugin)) {
        steps.fetchManifest(manifest, true);  // completes the offers with their patch; result ignored
    }
    if (steps.stopRequested()) return Outcome::Stopped;

    uint32_t attempts = 0;
    const bool attemptsKnown = steps.readUpdateAttempts(attempts);
    if (attemptsKnown && attempts >= kUpdateAttemptLimit) {
        logCode(LogLevel::Error, MessageCode::UpdateAttemptsExhausted);
        facts.attemptsExhausted = true;
        steps.setNotifyMode();
        return Outcome::Record;
    }
    const uint32_t* known = attemptsKnown ? &attempts : nullptr;
    const ComponentOffer* download = offerToDownload(steps, manifest);
    noteOffers(facts, download);
    steps.removeKeptParts(facts);  // before the download: its disk space is free for it
    partsDecided = true;
    if (!download) return Outcome::Record;
    if (download == manifest.activeX.get())
        return launch(steps, *download, known, MessageCode::ActiveXInstallerStarted,
                      MessageCode::ActiveXUpdateFailed);
    return launch(steps, *download, known, MessageCode::PluginInstallerStarted,
                  MessageCode::PluginUpdateFailed);
}

}  // namespace

bool SystemUpdateCycleSteps::isCheckDue() { return UpdateStateStore::isCheckDue(); }

bool SystemUpdateCycleSteps::fetchManifest(VersionManifest& manifest, bool patch) {
    return ::fetchManifest(manifest, patch);
}

bool SystemUpdateCycleSteps::isUpdateNeeded(const ComponentOffer& offer) {
    return ::isUpdateNeeded(offer);
}

bool SystemUpdateCycleSteps::readUpdateAttempts(uint32_t& count) {
    return UpdateStateStore::readUpdateAttempts(count);
}

bool SystemUpdateCycleSteps::incrementUpdateAttempts() {
    return UpdateStateStore::incrementUpdateAttempts();
}

bool SystemUpdateCycleSteps::restoreUpdateAttempts(const uint32_t* count) {
    return count ? UpdateStateStore::writeUpdateAttempts(*count)
                 : UpdateStateStore::deleteUpdateAttempts();
}

bool SystemUpdateCycleSteps::launchInstaller(const ComponentOffer& offer) {
    return ::launchInstaller(offer);
}

bool SystemUpdateCycleSteps::stopRequested() { return serviceStopSignal().requested(); }

bool SystemUpdateCycleSteps::setNotifyMode() { return setAutoUpdateMode(AutoUpdateMode::Notify); }

void SystemUpdateCycleSteps::recordCheck(const uint32_t* checkFrequency) {
    UpdateStateStore::recordLastUpdateCheck(false);
    UpdateStateStore::writeCheckFrequency(checkFrequency);
}

void SystemUpdateCycleSteps::removeKeptParts(const KeptPartFacts& facts) {
    ::removeKeptParts(facts);
}

void noteOffers(KeptPartFacts& facts, const ComponentOffer* download) {
    facts.offersKnown = true;
    facts.downloadFollows = download != nullptr;
    facts.downloadDigest = download ? resumablePartDigest(*download) : std::string();
}

void runUpdateCycle(const ServiceSettings& settings, UpdateCycleSteps& steps) {
    logCode(LogLevel::Info, MessageCode::UpdateCycleStarts);
    KeptPartFacts facts;
    facts.silentUpdates = !settings.autoUpdateDisabled && settings.silentAutoUpdateEnabled;
    bool partsDecided = false;
    if (facts.silentUpdates) {
        // Exhausted attempts end the downloads whether or not a check is due.
        uint32_t attempts = 0;
        facts.attemptsExhausted =
            steps.readUpdateAttempts(attempts) && attempts >= kUpdateAttemptLimit;
        if (steps.isCheckDue()) {
            VersionManifest manifest;
            if (steps.fetchManifest(manifest, false)) {
                switch (decideAndLaunch(steps, manifest, facts, partsDecided)) {
                    case Outcome::Record:
                        steps.recordCheck(manifest.checkFrequency.get());
                        break;
                    case Outcome::Launched:
                        break;
                    case Outcome::Stopped:
                        logCode(LogLevel::Warning, MessageCode::UpdateStoppedUncounted);
                        break;
                }
            }
            // The manifest (both offers and the frequency) is released here, whatever happened.
        }
    }
    // Off, exhausted, not due, a failed fetch or a stop: decided on what is known.
    if (!partsDecided) steps.removeKeptParts(facts);
    logCode(LogLevel::Info, MessageCode::UpdateCycleEnds);
}

void runServiceUpdateCycle(UpdateCycleSteps& steps) {
    // A service killed in a download of a package that never resumes left its part in a
    // GUID-named staging folder, and one killed while it wrote the installer left that
    // unverified temporary file: both go at every start, whether or not a download follows.
    // A bound package's part goes by keptPartFate, once the cycle knows enough.
    removeStaleStagingFolders(std::wstring(), false);
    removeLeftInstallerTempFile();
    try {
        runUpdateCycle(serviceSettings(), steps);
    } catch (const std::bad_alloc&) {
        // Memory ran out: the cycle ends where it stood; the next start begins afresh.
    }
}

void runUpdateCycle() {
    SystemUpdateCycleSteps steps;
    runServiceUpdateCycle(steps);
}
