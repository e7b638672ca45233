#pragma once
// SHA-256 of bytes in memory as lowercase hex, for the tests' expected digests: through the
// program's own Sha256, and through the system's CryptoAPI provider, an implementation that is
// not ours, for the tests of the digests themselves.
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "verify/sha256.h"

namespace testsupport {

inline std::string hexOf(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

inline std::string sha256Hex(const std::string& bytes) {
    Sha256 digest;
    digest.update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    uint8_t value[Sha256::kDigestBytes];
    digest.finish(value);
    return hexOf(value, sizeof(value));
}

// Empty when the provider refuses any step.
inline std::string providerSha256Hex(const std::string& bytes) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE value[32] = {};
    DWORD length = sizeof(value);
    std::string text;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()),
                      static_cast<DWORD>(bytes.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0))
        text = hexOf(value, length);
    if (hash) CryptDestroyHash(hash);
    if (provider) CryptReleaseContext(provider, 0);
    return text;
}

}  // namespace testsupport
