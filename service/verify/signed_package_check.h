#pragma once
// A signed package checked in one pass over its bytes, with memory that does not grow with its
// size. The envelope is parsed as the bytes stream past; the content's bytes go to the content
// digests (one per digest algorithm the message lists) and to the caller's sink. At the end only
// the detached message (the envelope without its content, a few KiB) goes to crypt32, which
// yields the signer's certificate and the certificates the message carries. The signed
// attributes must name the package's content type and the content's digest; without them the
// signature covers the content's digest itself. The signature is checked with the provider's
// own primitives and the chain with CryptoHelper's rules.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "verify/crypto_helper.h"
#include "verify/package_digest.h"
#include "verify/signed_envelope.h"

// What stopped a package check.
enum class PackageCheckFailure {
    None,
    Unavailable,            // the system's crypt32 or advapi32, or the provider, is not there
    EnvelopeMalformed,      // not one DER signed message with embedded content
    EnvelopeIndefinite,     // BER indefinite lengths: not read
    ContentRefused,         // the content's sink refused a block (its own failure is logged)
    ContentDigestFailed,    // the provider refused to hash the content
    DigestAlgorithmUnknown, // the signer's digest algorithm was not computed
    DigestAlgorithmWeak,    // the signer's digest algorithm is below SHA-256 (MD5, SHA-1)
    ContentDigestMismatch,  // the signed message digest is not the content's
    ContentTypeMismatch,    // the signed content type is not the package's
    SignatureInvalid,       // no signer's certificate in the message, or its signature fails
    ChainRefused,           // the signer's chain breaks one of CryptoHelper's rules
};

class SignedPackageCheck : private EnvelopeContentSink {
public:
    // content receives the content's bytes as they are found; null: they are only hashed.
    SignedPackageCheck(CryptoHelper& crypto, EnvelopeContentSink* content);
    ~SignedPackageCheck() override;
    SignedPackageCheck(const SignedPackageCheck&) = delete;
    SignedPackageCheck& operator=(const SignedPackageCheck&) = delete;

    // The system's libraries and provider. False: Unavailable.
    bool begin();
    // The next bytes of the package, in order. False: stop reading, failure() says why.
    bool update(const uint8_t* data, size_t size);
    // The package ended: true when it verified. On false failure() says why and GetLastError
    // holds the error value.
    bool finish();

    PackageCheckFailure failure() const { return failure_; }
    // The package offset at which the envelope failed.
    uint64_t failOffset() const { return parser_.failOffset(); }
    uint64_t contentSize() const { return parser_.contentSize(); }
    // The signer's digest algorithm (after finish() got that far; 0 when unknown).
    ALG_ID signerDigestAlgorithm() const { return signerDigestAlgorithm_; }
    // The detached message given to crypt32 (after finish()).
    const std::vector<uint8_t>& detached() const { return detached_; }

    struct Crypt32Functions;

private:
    bool content(const uint8_t* data, size_t size) override;
    bool fail(PackageCheckFailure failure, DWORD error);
    bool envelopeFailed();
    bool startDigests();
    bool verifySignature(const std::vector<uint8_t>& contentDigest, ALG_ID algorithm);

    CryptoHelper& crypto_;
    EnvelopeContentSink* sink_;
    SignedEnvelopeParser parser_;
    HashProvider provider_;
    std::vector<std::unique_ptr<BulkDigest>> digests_;
    bool digestsStarted_ = false;
    std::vector<uint8_t> detached_;
    PackageCheckFailure failure_ = PackageCheckFailure::None;
    ALG_ID signerDigestAlgorithm_ = 0;
    std::unique_ptr<Crypt32Functions> crypt32_;
};

// The CryptoAPI algorithm of a digest algorithm's OID (dotted); 0 when the provider has none.
ALG_ID digestAlgorithmId(const std::string& oid);
