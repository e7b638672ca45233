#pragma once
// Trust anchor and the two cryptographic operations of the service: verifying a signed package
// (PKCS #7 SignedData with embedded content) against the embedded certificate authority, and the
// SHA-256 digest of a file as lowercase hex. Every CryptoAPI entry point is resolved at run time
// from libraries loaded by full path from the system folder.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <memory>

#include "log/message_codes.h"

// The certificate authority certificate (DER) built into the program.
extern const uint8_t kEmbeddedCaCertificate[];
extern const uint32_t kEmbeddedCaCertificateSize;

// Result codes of CryptoHelper::fileDigest: the message code its callers log at Warning.
enum FileDigestResult : uint32_t {
    kDigestOk = 0,
    // advapi32.dll or one of its four entry points missing
    kDigestAdvapiMissing = static_cast<uint32_t>(MessageCode::DigestAdvapiMissing),
    // acquiring with CRYPT_NEWKEYSET after NTE_BAD_KEYSET failed
    kDigestNewKeySetFailed = static_cast<uint32_t>(MessageCode::DigestNewKeySetFailed),
    // CryptCreateHash failed (also: provider not acquired)
    kDigestCreateHashFailed = static_cast<uint32_t>(MessageCode::DigestCreateHashFailed),
    // CryptHashData failed
    kDigestHashDataFailed = static_cast<uint32_t>(MessageCode::DigestHashDataFailed),
    // the file did not open
    kDigestOpenFailed = static_cast<uint32_t>(MessageCode::DigestOpenFailed),
    // GetFileSizeEx failed on the opened file
    kDigestFileSizeFailed = static_cast<uint32_t>(MessageCode::DigestFileSizeFailed),
    // the file is empty
    kDigestEmptyFile = static_cast<uint32_t>(MessageCode::DigestEmptyFile),
    // the file held more bytes than its size when opened (it grew while hashed)
    kDigestFileGrew = static_cast<uint32_t>(MessageCode::DigestFileGrew),
    // a read failed, or the file ended before the size it had when opened
    kDigestReadFailed = static_cast<uint32_t>(MessageCode::DigestReadFailed),
    // CryptGetHashParam(HP_HASHSIZE) failed
    kDigestHashSizeFailed = static_cast<uint32_t>(MessageCode::DigestHashSizeFailed),
    // CryptGetHashParam(HP_HASHVAL) failed
    kDigestHashValueFailed = static_cast<uint32_t>(MessageCode::DigestHashValueFailed),
    // Wow64DisableWow64FsRedirection failed
    kDigestDisableRedirFailed = static_cast<uint32_t>(MessageCode::DigestDisableRedirectionFailed),
    // Wow64RevertWow64FsRedirection failed
    kDigestRevertRedirFailed = static_cast<uint32_t>(MessageCode::DigestRevertRedirectionFailed),
};

constexpr uint32_t kDigestHexLength = 64;  // as kPlayerDigestHexLength
constexpr uint32_t kMaxChainLinks = 32;  // certificates of the message walked: signer + 31 issuers
constexpr uint32_t kDigestChunkBytes = 64 * 1024;  // read and hashed per step, on the stack
constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Why verifySignedMessage refused a package. code names the rule that failed; detail is, for
// PackageVerificationFailed (crypt32 refused the message or its signature, or memory ran out),
// the Windows or CryptoAPI error value; for a certificate rule, the certificate's place in the
// chain (0 the signer, 1 its issuer, ..., the embedded authority after the last certificate
// walked); for PackageDigestAlgorithmWeak, the digest's ALG_ID (0: one this system does not
// know).
struct VerificationFailure {
    MessageCode code = MessageCode::PackageVerificationFailed;
    int32_t detail = 0;
};

struct Crypt32Table;
struct Advapi32Table;
struct Kernel32Table;

// One object per use (one download or one digest), on one thread.
class CryptoHelper {
public:
    CryptoHelper();  // the embedded certificate authority
    // Another trust anchor (DER); the bytes must outlive the helper.
    CryptoHelper(const uint8_t* caCertificate, uint32_t caCertificateSize);
    ~CryptoHelper();
    CryptoHelper(const CryptoHelper&) = delete;
    CryptoHelper& operator=(const CryptoHelper&) = delete;

    // Verifies data as a package signed (signer 0) by a certificate chained, through the
    // certificates inside the message, to the trust anchor: the one-pass check of
    // signed_package_check.h over bytes in memory. content/contentSize are cleared first and
    // set only when the package verified. On false lastFailure() says which rule failed, and
    // GetLastError holds the error value.
    bool verifySignedMessage(const uint8_t* data, uint32_t size,
                             std::unique_ptr<uint8_t[]>& content, uint32_t& contentSize);
    // The cause of the last refusal of verifySignedMessage or verifySignerChain.
    const VerificationFailure& lastFailure() const { return failure_; }

    // The chain rules, from the signer's certificate through the certificates the message
    // carries (store) to the trust anchor: every link currently valid, its outer and inner
    // signature algorithms the same and neither MD2, MD4 nor MD5 (SHA-1 links pass). The signer
    // is an end-entity certificate (basic constraints absent or CA:FALSE; key usage, when
    // present, allows digital signatures) and, when it lists extended key usages, one is code
    // signing. Every issuer, the anchor included, says CA:TRUE in its basic constraints, its
    // path length limit holds, its key usage, when present, allows signing certificates, and
    // its extended key usage, when present, names code signing or any purpose.
    // No certificate carries name constraints or a critical extension this program does not
    // read. Takes over signer and store (released here; both are set to null) once crypt32 is
    // loaded. On false lastFailure() names the rule and the certificate's place in the chain.
    bool verifySignerChain(PCCERT_CONTEXT& signer, HCERTSTORE& store);

    // SHA-256 of the file's bytes. On success hexOut (>= 65 bytes) gets 64 lowercase hex
    // characters and a NUL; on failure errorCode gets a FileDigestResult, lastError the
    // GetLastError value at the failure, and hexOut is untouched. disableRedirection switches
    // WOW64 file system redirection off around the one file open.
    bool fileDigest(const wchar_t* path, char* hexOut, uint32_t& errorCode, uint32_t& lastError,
                    bool disableRedirection);

private:
    bool walkSignerChain(PCCERT_CONTEXT& signer, HCERTSTORE& store, VerificationFailure& out);

    VerificationFailure failure_;
    std::unique_ptr<Crypt32Table> crypt32_;
    std::unique_ptr<Advapi32Table> advapi32_;
    std::unique_ptr<Kernel32Table> kernel32_;
    const uint8_t* caCertificate_;
    uint32_t caCertificateSize_;
};
