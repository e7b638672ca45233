// The installer download: transfer into the staging folder, checked against the manifest,
// verified and written as it arrives.
#include "download/installer_download.h"

#include <new>

#include "config/admin_config.h"
#include "download/download_log.h"
#include "log/service_log.h"

const wchar_t kActiveXInstallerObjectPath[] =
    L"/pub/vextraplayer/update/current/sau/11/install/install_all_win_ax_sgn.z";
const wchar_t kPluginInstallerObjectPath[] =
    L"/pub/vextraplayer/update/current/sau/11/install/install_all_win_pl_sgn.z";

namespace {

// Logs the start of the download, or refuses an offer for no known component.
bool announceDownload(const ComponentOffer& offer) {
    if (offer.component == PlayerComponent::ActiveX) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::ActiveXDownloadStarts));
    } else if (offer.component == PlayerComponent::Plugin) {
        ServiceLog::write(LogLevel::Info, codeText(MessageCode::PluginDownloadStarts));
    } else {
        ServiceLog::write(LogLevel::Error, codeText(MessageCode::DownloadUnknownComponent));
        return false;
    }
    return true;
}

}  // namespace

const wchar_t* packageObjectPath(const ComponentOffer& offer) {
    if (offer.patchApplies) return offer.patchPath.c_str();
    switch (offer.component) {
        case PlayerComponent::ActiveX: return kActiveXInstallerObjectPath;
        case PlayerComponent::Plugin: return kPluginInstallerObjectPath;
    }
    return nullptr;
}

static bool downloadAndWrite(const ComponentOffer* offer, const PackageSource& source,
                             std::wstring& installerPath);

bool downloadInstaller(const ComponentOffer* offer, const PackageSource& source,
                       std::wstring& installerPath) {
    try {
        return downloadAndWrite(offer, source, installerPath);
    } catch (const std::bad_alloc&) {
        // Memory ran out somewhere in the download, its check or the write; the staging
        // folder went with the unwinding.
        logWithError(LogLevel::Error, MessageCode::DownloadOutOfMemory, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

static bool downloadAndWrite(const ComponentOffer* offer, const PackageSource& source,
                             std::wstring& installerPath) {
    if (!offer || !announceDownload(*offer)) return false;

    // The body into the staging folder, which goes again whatever happens from here on, unless
    // a cut download of a package bound by size and digest waits there for the next start. The
    // package is checked as it arrives: bound to the manifest, verified, and its content
    // written to the installer's temporary file, which replaces the installer file only when
    // all of it passed. A download that fails or is cut short takes the temporary file along.
    StagingFolder staging;
    PackagePass pass(packageBinding(*offer));
    uint32_t downloaded = 0;
    if (!transferPackage(source, packageObjectPath(*offer), packageByteLimit(*offer),
                         packageBinding(*offer), staging, pass, downloaded))
        return false;
    noteStopProgress();
    const bool written = pass.finish(installerPath);
    noteStopProgress();
    return written;
}

bool downloadInstaller(const ComponentOffer* offer, std::wstring& installerPath) {
    PackageSource source;
    try {
        source.host = serviceSettings().downloadServerHost;
    } catch (const std::bad_alloc&) {
        logWithError(LogLevel::Error, MessageCode::DownloadStartOutOfMemory,
                     ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    source.deadlineMs = transferDeadlines().packageMs;
    source.stop = &serviceStopSignal();
    return downloadInstaller(offer, source, installerPath);
}

bool downloadInstaller(const ComponentOffer* offer) {
    std::wstring ignored;
    return downloadInstaller(offer, ignored);
}
