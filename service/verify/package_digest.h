#pragma once
// Digests of bytes as they stream past, through the system's crypto provider (advapi32 loaded
// by full path): the package's SHA-256 for the manifest binding, and the content's digest for
// the signer's message digest, both computed in the one pass over the package.
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// advapi32 from the system folder and one verify-only provider of the AES type (SHA-2 and RSA
// signatures), released together.
class HashProvider {
public:
    HashProvider() = default;
    ~HashProvider();
    HashProvider(const HashProvider&) = delete;
    HashProvider& operator=(const HashProvider&) = delete;

    // On false errorCode gets a FileDigestResult (crypto_helper.h) and GetLastError says why.
    bool open(uint32_t& errorCode);
    HCRYPTPROV handle() const { return provider_; }

    decltype(&CryptCreateHash) createHash = nullptr;
    decltype(&CryptHashData) hashData = nullptr;
    decltype(&CryptGetHashParam) getHashParam = nullptr;
    decltype(&CryptSetHashParam) setHashParam = nullptr;
    decltype(&CryptDestroyHash) destroyHash = nullptr;
    decltype(&CryptVerifySignatureW) verifySignature = nullptr;
    decltype(&CryptDestroyKey) destroyKey = nullptr;

private:
    HMODULE module_ = nullptr;
    decltype(&CryptAcquireContextW) acquireContext_ = nullptr;
    decltype(&CryptReleaseContext) releaseContext_ = nullptr;
    HCRYPTPROV provider_ = 0;
};

// One digest of one algorithm (CALG_SHA_256, ...) fed in steps.
class StreamDigest {
public:
    StreamDigest(const HashProvider& provider, ALG_ID algorithm);
    ~StreamDigest();
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;

    bool valid() const { return hash_ != 0; }
    HCRYPTHASH handle() const { return hash_; }
    ALG_ID algorithm() const { return algorithm_; }
    // False when the provider refused the bytes (GetLastError says why).
    bool update(const uint8_t* data, size_t size);
    // The digest; no update may follow.
    bool finish(std::vector<uint8_t>& value);

private:
    const HashProvider& provider_;
    ALG_ID algorithm_;
    HCRYPTHASH hash_ = 0;
};

// The digest as lowercase hex.
std::string digestHex(const std::vector<uint8_t>& value);
