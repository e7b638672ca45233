// The package's binding to the manifest: a package signed for another build or component, or
// cut short, stops here.
#include "download/manifest_binding.h"

#include <windows.h>

#include <new>

#include "download/download_log.h"
#include "verify/crypto_helper.h"

const PackageBinding& packageBinding(const ComponentOffer& offer) {
    return offer.patchApplies ? offer.patchPackage : offer.fullPackage;
}

uint32_t packageByteLimit(const ComponentOffer& offer) {
    const PackageBinding& binding = packageBinding(offer);
    return binding.hasSize ? binding.size : kMaxPackageBytes;
}

bool matchesManifest(const std::wstring& stagedPath, uint32_t size, const PackageBinding& binding) {
    if (binding.hasSize && size != binding.size) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, ERROR_INVALID_DATA);
        return false;
    }
    if (binding.sha256.empty()) return true;
    char digest[kDigestHexLength + 1] = {};
    uint32_t digestCode = 0;
    uint32_t digestError = 0;
    bool computed = false;
    try {
        CryptoHelper crypto;
        computed = crypto.fileDigest(stagedPath.c_str(), digest, digestCode, digestError, false);
    } catch (const std::bad_alloc&) {
        digestError = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!computed || binding.sha256 != digest) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest,
                     computed ? ERROR_INVALID_DATA : digestError);
        return false;
    }
    return true;
}
