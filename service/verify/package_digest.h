#pragma once
// Digests of bytes as they stream past: the package's SHA-256 for the manifest binding, and the
// content's digest for the signer's message digest, both computed in the one pass over the
// package (BulkDigest: SHA-256 in the program's own code, other algorithms through the system's
// crypto provider, advapi32 loaded by full path).
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "verify/sha256.h"

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

// One digest of the bytes of a package as they are read, whatever their number: SHA-256 by the
// program's own code (several times the system provider's speed, and the same digest), any
// other algorithm the provider computes by a StreamDigest.
class BulkDigest {
public:
    BulkDigest(const HashProvider& provider, ALG_ID algorithm);
    BulkDigest(const BulkDigest&) = delete;
    BulkDigest& operator=(const BulkDigest&) = delete;

    bool valid() const { return own_ || (provided_ && provided_->valid()); }
    ALG_ID algorithm() const { return algorithm_; }
    // False when the provider refused the bytes (GetLastError says why).
    bool update(const uint8_t* data, size_t size);
    // The digest; no update may follow.
    bool finish(std::vector<uint8_t>& value);

private:
    ALG_ID algorithm_;
    std::unique_ptr<Sha256> own_;
    std::unique_ptr<StreamDigest> provided_;
};

// The digest as lowercase hex.
std::string digestHex(const std::vector<uint8_t>& value);
