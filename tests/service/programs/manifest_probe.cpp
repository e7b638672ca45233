// Fetches the manifests the way the update cycle does and writes what was parsed to
// "probe-result.txt" in the working directory.
//   manifest_probe version   version manifest only
//   manifest_probe both      version manifest, then the patch manifest when it succeeded
// Exit code: 0 when every fetch returned true, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

#include "config/admin_config.h"
#include "log/service_log.h"
#include "manifest/manifest_fetch.h"

namespace {

std::string narrow(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

void writeOffer(FILE* out, const char* name, const ComponentOffer* offer) {
    if (!offer) {
        std::fprintf(out, "%s=absent\n", name);
        return;
    }
    std::fprintf(out, "%s=%u.%u.%u.%u\n", name, offer->version.major, offer->version.minor,
                 offer->version.buildMajor, offer->version.buildMinor);
    std::fprintf(out, "%s.component=%d\n", name, static_cast<int>(offer->component));
    std::fprintf(out, "%s.patchApplies=%d\n", name, offer->patchApplies ? 1 : 0);
    std::fprintf(out, "%s.patchPath=%s\n", name, narrow(offer->patchPath).c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"version";
    loadServiceSettings();  // kvc.cfg: server domain, verbose logging
    VersionManifest manifest;
    const bool versionOk = fetchManifest(manifest, false);
    int patchOk = -1;
    if (mode == L"both" && versionOk) patchOk = fetchManifest(manifest, true) ? 1 : 0;

    FILE* out = _wfopen(L"probe-result.txt", L"wb");
    if (!out) return 2;
    std::fprintf(out, "host=%s\n", narrow(serviceSettings().manifestServerHost).c_str());
    std::fprintf(out, "version=%d\n", versionOk ? 1 : 0);
    std::fprintf(out, "patch=%d\n", patchOk);
    writeOffer(out, "activeX", manifest.activeX.get());
    writeOffer(out, "plugin", manifest.plugin.get());
    if (manifest.checkFrequency)
        std::fprintf(out, "checkFrequency=%u\n", *manifest.checkFrequency);
    else
        std::fprintf(out, "checkFrequency=absent\n");
    std::fclose(out);
    return versionOk && patchOk != 0 ? 0 : 1;
}
