// SHA-256 over a buffer through the system's crypto provider, advapi32 loaded by full path.
#include "verify/package_digest.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>

#include "platform/system_library.h"
#include "verify/crypto_helper.h"

namespace {

// The provider, the hash and the library of one digest, released in that order.
struct DigestScope {
    HMODULE module = nullptr;
    decltype(&CryptReleaseContext) releaseContext = nullptr;
    decltype(&CryptDestroyHash) destroyHash = nullptr;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    ~DigestScope() {
        const DWORD error = GetLastError();
        if (hash) destroyHash(hash);
        if (provider) releaseContext(provider, 0);
        if (module) FreeLibrary(module);
        SetLastError(error);
    }
};

template <typename Fn>
bool resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return fn != nullptr;
}

}  // namespace

bool bytesDigest(const uint8_t* data, size_t size, char* hexOut, uint32_t& errorCode,
                 uint32_t& lastError) {
    auto fail = [&](uint32_t code) {
        errorCode = code;
        lastError = GetLastError();
        return false;
    };
    DigestScope s;
    decltype(&CryptAcquireContextW) acquireContext = nullptr;
    decltype(&CryptCreateHash) createHash = nullptr;
    decltype(&CryptHashData) hashData = nullptr;
    decltype(&CryptGetHashParam) getHashParam = nullptr;
    if (!loadSystemLibrary(s.module, L"advapi32.dll") ||
        !resolve(s.module, "CryptAcquireContextW", acquireContext) ||
        !resolve(s.module, "CryptCreateHash", createHash) ||
        !resolve(s.module, "CryptHashData", hashData) ||
        !resolve(s.module, "CryptGetHashParam", getHashParam) ||
        !resolve(s.module, "CryptDestroyHash", s.destroyHash) ||
        !resolve(s.module, "CryptReleaseContext", s.releaseContext))
        return fail(kDigestAdvapiMissing);
    if (!acquireContext(&s.provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        s.provider = 0;
        return fail(kDigestCreateHashFailed);  // as the file digest reports a missing provider
    }
    if (!createHash(s.provider, CALG_SHA_256, 0, 0, &s.hash)) {
        s.hash = 0;
        return fail(kDigestCreateHashFailed);
    }
    // CryptHashData takes a DWORD length: large buffers go in steps.
    for (size_t done = 0; done < size;) {
        const DWORD step = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (!hashData(s.hash, data + done, step, 0)) return fail(kDigestHashDataFailed);
        done += step;
    }
    BYTE value[32] = {};
    DWORD valueLength = sizeof(value);
    if (!getHashParam(s.hash, HP_HASHVAL, value, &valueLength, 0) || valueLength != sizeof(value))
        return fail(kDigestHashValueFailed);
    static const char kHex[] = "0123456789abcdef";
    for (DWORD i = 0; i < valueLength; ++i) {
        hexOut[2 * i] = kHex[value[i] >> 4];
        hexOut[2 * i + 1] = kHex[value[i] & 0x0f];
    }
    hexOut[2 * valueLength] = '\0';
    return true;
}
