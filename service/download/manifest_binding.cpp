// The package's binding to the manifest: a package signed for another build or component, or
// cut short, stops here.
#include "download/manifest_binding.h"

#include <windows.h>

#include "download/download_log.h"
#include "verify/crypto_helper.h"
#include "verify/package_digest.h"

const PackageBinding& packageBinding(const ComponentOffer& offer) {
    return offer.patchApplies ? offer.patchPackage : offer.fullPackage;
}

uint32_t packageByteLimit(const ComponentOffer& offer) {
    const PackageBinding& binding = packageBinding(offer);
    return binding.hasSize ? binding.size : kMaxPackageBytes;
}

bool matchesManifest(const uint8_t* package, uint32_t size, const PackageBinding& binding) {
    if (binding.hasSize && size != binding.size) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, ERROR_INVALID_DATA);
        return false;
    }
    if (binding.sha256.empty()) return true;
    char digest[kDigestHexLength + 1] = {};
    uint32_t digestCode = 0;
    uint32_t digestError = 0;
    if (!bytesDigest(package, size, digest, digestCode, digestError)) {
        logWithError(LogLevel::Warning, static_cast<MessageCode>(digestCode), digestError);
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, digestError);
        return false;
    }
    if (binding.sha256 != digest) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, ERROR_INVALID_DATA);
        return false;
    }
    return true;
}
