// The package's binding to the manifest: a package signed for another build or component, or
// cut short, stops here.
#include "download/manifest_binding.h"

#include <windows.h>

#include <algorithm>
#include <new>

#include "download/download_log.h"
#include "verify/crypto_helper.h"

const PackageBinding& packageBinding(const ComponentOffer& offer) {
    return offer.patchApplies ? offer.patchPackage : offer.fullPackage;
}

uint32_t packageByteLimit(const ComponentOffer& offer) {
    const PackageBinding& binding = packageBinding(offer);
    return binding.hasSize ? std::min(binding.size, kMaxPackageBytes) : kMaxPackageBytes;
}

bool ManifestBindingCheck::digestFailed(uint32_t code) {
    const DWORD error = GetLastError();
    logWithError(LogLevel::Warning, static_cast<MessageCode>(code), error);
    logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, error);
    return false;
}

bool ManifestBindingCheck::sizeMatches(uint64_t packageSize) {
    if (binding_.hasSize && packageSize != binding_.size) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

bool ManifestBindingCheck::begin() {
    if (binding_.sha256.empty()) return true;
    uint32_t code = 0;
    if (!provider_.open(code)) return digestFailed(code);
    digest_.reset(new (std::nothrow) BulkDigest(provider_, CALG_SHA_256));
    if (!digest_) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return digestFailed(kDigestCreateHashFailed);
    }
    if (!digest_->valid()) return digestFailed(kDigestCreateHashFailed);
    return true;
}

void ManifestBindingCheck::update(const uint8_t* data, size_t size) {
    if (!digest_ || hashFailed_) return;
    if (!digest_->update(data, size)) {
        hashFailed_ = true;
        hashError_ = GetLastError();
    }
}

bool ManifestBindingCheck::finish() {
    if (!digest_) return true;
    if (hashFailed_) {
        SetLastError(hashError_);
        return digestFailed(kDigestHashDataFailed);
    }
    std::vector<uint8_t> value;
    if (!digest_->finish(value)) return digestFailed(kDigestHashValueFailed);
    digest_.reset();
    if (binding_.sha256 != digestHex(value)) {
        logWithError(LogLevel::Error, MessageCode::PackageDoesNotMatchManifest, ERROR_INVALID_DATA);
        return false;
    }
    return true;
}
