// The manifest parsers as the service runs them: on the service log, this machine's player
// files and the service's stop.
#include "manifest/manifest.h"

#include "log/service_log.h"
#include "platform/os_version.h"
#include "platform/transfer_control.h"
#include "player/installed_player_digests.h"

namespace {

class ServiceLogSink : public MessageSink {
public:
    void warning(MessageCode code) override {
        ServiceLog::write(LogLevel::Warning, codeText(code));
    }
};

}  // namespace

bool parseVersionManifest(char* text, VersionManifest* out) {
    ServiceLogSink log;
    return parseVersionManifest(text, out, log);
}

bool parsePatchManifest(char* text, VersionManifest* inOut, bool windowsIs64Bit) {
    ServiceLogSink log;
    // The walk shares the manifest's deadline span: a walk over many entries must not hold the
    // service RUNNING longer than a slow fetch may.
    const TransferDeadline deadline(transferDeadlines().manifestMs);
    InstalledPlayerDigests files(&serviceStopSignal(), &deadline);
    return parsePatchManifest(text, inOut, windowsIs64Bit, files, log);
}

bool parsePatchManifest(char* text, VersionManifest* inOut) {
    return parsePatchManifest(text, inOut, runningUnderWow64);
}
