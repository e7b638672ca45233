// Digests fed in steps through the system's crypto provider, advapi32 loaded by full path.
#include "verify/package_digest.h"

#include <algorithm>
#include <new>

#include "platform/system_library.h"
#include "verify/crypto_helper.h"

HashProvider::~HashProvider() {
    const DWORD error = GetLastError();
    if (provider_) releaseContext_(provider_, 0);
    if (module_) FreeLibrary(module_);
    SetLastError(error);
}

bool HashProvider::open(uint32_t& errorCode) {
    if (!loadSystemLibrary(module_, L"advapi32.dll") ||
        !resolve(module_, "CryptAcquireContextW", acquireContext_) ||
        !resolve(module_, "CryptReleaseContext", releaseContext_) ||
        !resolve(module_, "CryptCreateHash", createHash) ||
        !resolve(module_, "CryptHashData", hashData) ||
        !resolve(module_, "CryptGetHashParam", getHashParam) ||
        !resolve(module_, "CryptSetHashParam", setHashParam) ||
        !resolve(module_, "CryptDestroyHash", destroyHash) ||
        !resolve(module_, "CryptVerifySignatureW", verifySignature) ||
        !resolve(module_, "CryptDestroyKey", destroyKey)) {
        errorCode = kDigestAdvapiMissing;
        return false;
    }
    if (!acquireContext_(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        provider_ = 0;
        errorCode = kDigestCreateHashFailed;  // as the file digest reports a missing provider
        return false;
    }
    return true;
}

StreamDigest::StreamDigest(const HashProvider& provider, ALG_ID algorithm)
    : provider_(provider), algorithm_(algorithm) {
    if (!provider_.handle() || !provider_.createHash(provider_.handle(), algorithm, 0, 0, &hash_))
        hash_ = 0;
}

StreamDigest::~StreamDigest() {
    const DWORD error = GetLastError();
    if (hash_) provider_.destroyHash(hash_);
    SetLastError(error);
}

bool StreamDigest::update(const uint8_t* data, size_t size) {
    if (!hash_) return false;
    // CryptHashData takes a DWORD length: large buffers go in steps.
    for (size_t done = 0; done < size;) {
        const DWORD step = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (!provider_.hashData(hash_, data + done, step, 0)) return false;
        done += step;
    }
    return true;
}

bool StreamDigest::finish(std::vector<uint8_t>& value) {
    if (!hash_) return false;
    BYTE buffer[64] = {};
    DWORD length = sizeof(buffer);
    if (!provider_.getHashParam(hash_, HP_HASHVAL, buffer, &length, 0)) return false;
    value.assign(buffer, buffer + length);
    return true;
}

BulkDigest::BulkDigest(const HashProvider& provider, ALG_ID algorithm) : algorithm_(algorithm) {
    if (algorithm == CALG_SHA_256) {
        own_.reset(new (std::nothrow) Sha256);
        if (!own_) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        provided_.reset(new (std::nothrow) StreamDigest(provider, algorithm));
        if (!provided_) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
}

bool BulkDigest::update(const uint8_t* data, size_t size) {
    if (own_) {
        own_->update(data, size);
        return true;
    }
    return provided_ && provided_->update(data, size);
}

bool BulkDigest::finish(std::vector<uint8_t>& value) {
    if (own_) {
        value.resize(Sha256::kDigestBytes);
        own_->finish(value.data());
        return true;
    }
    return provided_ && provided_->finish(value);
}

std::string digestHex(const std::vector<uint8_t>& value) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : value) {
        text += kHex[b >> 4];
        text += kHex[b & 0x0f];
    }
    return text;
}
