// Starting the verified installer.
#include "update/installer_launch.h"

#include <windows.h>

#include <new>
#include <vector>

#include "log/service_log.h"
#include "download/installer_download.h"
#include "platform/transfer_control.h"

const wchar_t kPatchInstallCommandLine[] = L"VextraPlayerInstaller.exe -install -iv 11";
const wchar_t kFullInstallCommandLine[] = L"VextraPlayerInstaller.exe -install -iv 9";

namespace {

void logCodeWithError(MessageCode code, DWORD error) {
    ServiceLog::write(LogLevel::Error, codeText(code, static_cast<int32_t>(error)));
}

}  // namespace

const wchar_t* installerCommandLine(const ComponentOffer& offer) {
    return offer.patchApplies ? kPatchInstallCommandLine : kFullInstallCommandLine;
}

bool startDetachedProcess(const std::wstring& applicationPath, const std::wstring& commandLine) {
    // CreateProcessW may write into the command line: hand it a private, modifiable copy.
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // The application name is the full path of the verified file, so the loader's search order
    // (the program's own folder first) cannot substitute another file of the same name. The
    // command line keeps the bare name as its first token, so the installer sees the same
    // arguments either way.
    BOOL created = CreateProcessW(applicationPath.c_str(), mutableLine.data(), nullptr, nullptr,
                                  FALSE, CREATE_DEFAULT_ERROR_MODE | DETACHED_PROCESS, nullptr,
                                  nullptr, &startup, &process);
    if (created) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::InstallerStarted));
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return true;
    }
    DWORD error = GetLastError();
    logCodeWithError(MessageCode::InstallerProcessStartFailed, error);
    SetLastError(error);
    return false;
}

namespace {

// Starts the installer that the download just verified and wrote.
bool startVerifiedInstaller(const ComponentOffer& offer, const std::wstring& installerPath) {
    // A stop that came while the package was verified and written: the service is going
    // down, and an installer it started now would run unwatched through the shutdown.
    if (serviceStopSignal().requested()) {
        ServiceLog::write(LogLevel::Warning, codeText(MessageCode::InstallerNotStartedForStop));
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    std::wstring commandLine;
    try {
        commandLine = installerCommandLine(offer);
    } catch (const std::bad_alloc&) {
        logCodeWithError(MessageCode::CommandLineOutOfMemory, ERROR_NOT_ENOUGH_MEMORY);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return startDetachedProcess(installerPath, commandLine);
}

}  // namespace

bool launchInstaller(const ComponentOffer& offer) {
    // The download logs its own failures, memory running out among them, with their cause.
    std::wstring installerPath;
    if (!downloadInstaller(&offer, installerPath)) return false;
    return startVerifiedInstaller(offer, installerPath);
}

bool launchInstaller(const ComponentOffer& offer, const PackageSource& source) {
    std::wstring installerPath;
    if (!downloadInstaller(&offer, source, installerPath)) return false;
    return startVerifiedInstaller(offer, installerPath);
}
