// The update cycle driver: one run per service start.
#include "update/update_cycle.h"

#include <windows.h>

#include <new>
#include <string>

#include "log/service_log.h"
#include "config/update_state.h"
#include "manifest/manifest_fetch.h"
#include "update/installer_launch.h"
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

// The part of the cycle that follows a successful version fetch. Returns true when the check
// is to be recorded (false after a successful launch: the next start checks again).
bool decideAndLaunch(UpdateCycleSteps& steps, VersionManifest& manifest) {
    if (needsUpdate(steps, manifest.activeX) || needsUpdate(steps, manifest.plugin)) {
        steps.fetchManifest(manifest, true);  // completes the offers with their patch; result ignored
    }

    uint32_t attempts = 0;
    if (steps.readUpdateAttempts(attempts) && attempts >= kUpdateAttemptLimit) {
        logCode(LogLevel::Error, MessageCode::UpdateAttemptsExhausted);
        steps.setNotifyMode();
        return true;
    }

    if (needsUpdate(steps, manifest.activeX)) {
        steps.incrementUpdateAttempts();
        if (steps.launchInstaller(*manifest.activeX)) {
            logCode(LogLevel::Info, MessageCode::ActiveXInstallerStarted);
            return false;
        }
        logCodeWithLastError(MessageCode::ActiveXUpdateFailed);
        return true;
    }
    if (needsUpdate(steps, manifest.plugin)) {
        steps.incrementUpdateAttempts();
        if (steps.launchInstaller(*manifest.plugin)) {
            logCode(LogLevel::Info, MessageCode::PluginInstallerStarted);
            return false;
        }
        logCodeWithLastError(MessageCode::PluginUpdateFailed);
        return true;
    }
    return true;
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

bool SystemUpdateCycleSteps::launchInstaller(const ComponentOffer& offer) {
    return ::launchInstaller(offer);
}

bool SystemUpdateCycleSteps::setNotifyMode() { return setAutoUpdateMode(AutoUpdateMode::Notify); }

void SystemUpdateCycleSteps::recordCheck(const uint32_t* checkFrequency) {
    UpdateStateStore::recordLastUpdateCheck(false);
    UpdateStateStore::writeCheckFrequency(checkFrequency);
}

void runUpdateCycle(const ServiceSettings& settings, UpdateCycleSteps& steps) {
    logCode(LogLevel::Info, MessageCode::UpdateCycleStarts);
    if (!settings.autoUpdateDisabled && settings.silentAutoUpdateEnabled && steps.isCheckDue()) {
        VersionManifest manifest;
        if (steps.fetchManifest(manifest, false)) {
            if (decideAndLaunch(steps, manifest)) steps.recordCheck(manifest.checkFrequency.get());
        }
        // The manifest (both offers and the frequency) is released here, whatever happened.
    }
    logCode(LogLevel::Info, MessageCode::UpdateCycleEnds);
}

void runUpdateCycle() {
    try {
        SystemUpdateCycleSteps steps;
        runUpdateCycle(serviceSettings(), steps);
    } catch (const std::bad_alloc&) {
        // Memory ran out: the cycle ends where it stood; the next start begins afresh.
    }
}
