#include "verify/crypto_helper.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/system_library.h"
#include "platform/file_handle.h"
#include "platform/plain_file.h"
#include "verify/signed_package_check.h"

// Each table holds a module loaded by full path from the system folder and the entry points
// resolved from it by exact name, in order; resolution stops at the first missing one.
struct Crypt32Table {
    HMODULE module = nullptr;
    decltype(&CryptVerifyMessageSignature) verifyMessageSignature = nullptr;
    decltype(&CertCreateCertificateContext) createCertificateContext = nullptr;
    decltype(&CertFindCertificateInStore) findCertificateInStore = nullptr;
    decltype(&CertVerifySubjectCertificateContext) verifySubjectCertificateContext = nullptr;
    decltype(&CertFreeCertificateContext) freeCertificateContext = nullptr;
    decltype(&CertGetSubjectCertificateFromStore) getSubjectCertificateFromStore = nullptr;
    decltype(&CertDuplicateStore) duplicateStore = nullptr;
    decltype(&CertCloseStore) closeStore = nullptr;
    decltype(&CertFindExtension) findExtension = nullptr;
    decltype(&CryptDecodeObject) decodeObject = nullptr;
    ~Crypt32Table() {
        if (module) FreeLibrary(module);
    }
};

struct Advapi32Table {
    HMODULE module = nullptr;
    decltype(&CryptAcquireContextW) acquireContext = nullptr;
    decltype(&CryptCreateHash) createHash = nullptr;
    decltype(&CryptHashData) hashData = nullptr;
    decltype(&CryptGetHashParam) getHashParam = nullptr;
    decltype(&CryptDestroyHash) destroyHash = nullptr;
    decltype(&CryptReleaseContext) releaseContext = nullptr;
    ~Advapi32Table() {
        if (module) FreeLibrary(module);
    }
};

using Wow64DisableFn = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID);

struct Kernel32Table {
    HMODULE module = nullptr;
    Wow64DisableFn disableRedirection = nullptr;
    Wow64RevertFn revertRedirection = nullptr;
    ~Kernel32Table() {
        if (module) FreeLibrary(module);
    }
    bool complete() const { return module && disableRedirection && revertRedirection; }
};

#ifndef _WIN64
// The shipped 32-bit build passes the 20-byte parameter record the platform describes.
static_assert(sizeof(CRYPT_VERIFY_MESSAGE_PARA) == 20, "verification parameter record size");
#endif

namespace {

bool loadTable(Crypt32Table& t) {
    return loadSystemLibrary(t.module, L"crypt32.dll") &&
           resolve(t.module, "CryptVerifyMessageSignature", t.verifyMessageSignature) &&
           resolve(t.module, "CertCreateCertificateContext", t.createCertificateContext) &&
           resolve(t.module, "CertFindCertificateInStore", t.findCertificateInStore) &&
           resolve(t.module, "CertVerifySubjectCertificateContext", t.verifySubjectCertificateContext) &&
           resolve(t.module, "CertFreeCertificateContext", t.freeCertificateContext) &&
           resolve(t.module, "CertGetSubjectCertificateFromStore", t.getSubjectCertificateFromStore) &&
           resolve(t.module, "CertDuplicateStore", t.duplicateStore) &&
           resolve(t.module, "CertCloseStore", t.closeStore) &&
           resolve(t.module, "CertFindExtension", t.findExtension) &&
           resolve(t.module, "CryptDecodeObject", t.decodeObject);
}

bool loadTable(Advapi32Table& t) {
    return loadSystemLibrary(t.module, L"advapi32.dll") &&
           resolve(t.module, "CryptAcquireContextW", t.acquireContext) &&
           resolve(t.module, "CryptCreateHash", t.createHash) &&
           resolve(t.module, "CryptHashData", t.hashData) &&
           resolve(t.module, "CryptGetHashParam", t.getHashParam) &&
           resolve(t.module, "CryptDestroyHash", t.destroyHash) &&
           resolve(t.module, "CryptReleaseContext", t.releaseContext);
}

void loadTable(Kernel32Table& t) {
    if (!loadSystemLibrary(t.module, L"kernel32.dll")) return;
    if (resolve(t.module, "Wow64DisableWow64FsRedirection", t.disableRedirection))
        resolve(t.module, "Wow64RevertWow64FsRedirection", t.revertRedirection);
}

// anyExtendedKeyUsage: an issuer that lists it limits no purpose.
const char kOidAnyExtendedKeyUsage[] = "2.5.29.37.0";

bool sameCertificate(PCCERT_CONTEXT a, const BYTE* encoded, DWORD size) {
    return a->cbCertEncoded == size && std::memcmp(a->pbCertEncoded, encoded, size) == 0;
}

// Releases the certificate contexts and the message store of one verification.
class VerificationScope {
public:
    explicit VerificationScope(const Crypt32Table& t) : t_(t) {}
    ~VerificationScope() {
        release(current);
        release(found);
        release(anchor);
        if (store) t_.closeStore(store, 0);
    }
    VerificationScope(const VerificationScope&) = delete;
    VerificationScope& operator=(const VerificationScope&) = delete;

    void release(PCCERT_CONTEXT& c) {
        if (c) t_.freeCertificateContext(c);
        c = nullptr;
    }
    const Crypt32Table& table() const { return t_; }

    PCCERT_CONTEXT current = nullptr;
    PCCERT_CONTEXT found = nullptr;
    PCCERT_CONTEXT anchor = nullptr;
    HCERTSTORE store = nullptr;  // the certificates the message carries

private:
    const Crypt32Table& t_;
};

bool refuse(VerificationFailure& out, MessageCode code, uint32_t place) {
    out.code = code;
    out.detail = static_cast<int32_t>(place);
    return false;
}

// Subject signed by issuer's key (with the algorithm its outer signature names) and currently
// within its validity period.
bool linkVerifies(const Crypt32Table& t, PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer,
                  uint32_t place, VerificationFailure& out) {
    DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    if (!t.verifySubjectCertificateContext(subject, issuer, &flags))
        return refuse(out, MessageCode::CertificateSignatureInvalid, place);
    if (flags & CERT_STORE_SIGNATURE_FLAG)
        return refuse(out, MessageCode::CertificateSignatureInvalid, place);
    if (flags) return refuse(out, MessageCode::CertificateOutsideValidity, place);
    return true;
}

const CERT_EXTENSION* findExtension(const Crypt32Table& t, PCCERT_CONTEXT cert, const char* oid) {
    return t.findExtension(oid, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
}

// Decodes the certificate's basic constraints; false when it has none. An extension that does
// not decode says nothing trustworthy and reads as "no certificate authority, no path".
bool basicConstraints(const Crypt32Table& t, PCCERT_CONTEXT cert, CERT_BASIC_CONSTRAINTS2_INFO& info) {
    info = CERT_BASIC_CONSTRAINTS2_INFO{};
    const CERT_EXTENSION* ext = findExtension(t, cert, szOID_BASIC_CONSTRAINTS2);
    if (!ext) return false;
    DWORD size = sizeof(info);
    if (!t.decodeObject(kMessageEncoding, X509_BASIC_CONSTRAINTS2, ext->Value.pbData,
                        ext->Value.cbData, 0, &info, &size)) {
        info = CERT_BASIC_CONSTRAINTS2_INFO{};
        info.fPathLenConstraint = TRUE;  // dwPathLenConstraint 0: nothing below
    }
    return true;
}

// The key usage bits of the certificate's first byte; false when it has no key usage. One
// that does not decode allows nothing.
bool keyUsage(const Crypt32Table& t, PCCERT_CONTEXT cert, BYTE& usage) {
    usage = 0;
    const CERT_EXTENSION* ext = findExtension(t, cert, szOID_KEY_USAGE);
    if (!ext) return false;
    uint8_t buffer[64] = {};
    DWORD size = sizeof(buffer);
    const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(buffer);
    if (t.decodeObject(kMessageEncoding, X509_KEY_USAGE, ext->Value.pbData, ext->Value.cbData,
                       0, buffer, &size) &&
        bits->cbData > 0)
        usage = bits->pbData[0];
    return true;
}

// An issuer vouches for another certificate only when its basic constraints say it is a
// certificate authority (a certificate without them is none), its path length limit, if
// given, allows the caBelow authorities between it and the signer, and its key usage, when it
// has one, allows signing certificates.
bool mayIssue(const Crypt32Table& t, PCCERT_CONTEXT issuer, uint32_t caBelow, uint32_t place,
              VerificationFailure& out) {
    CERT_BASIC_CONSTRAINTS2_INFO info;
    if (!basicConstraints(t, issuer, info) || !info.fCA)
        return refuse(out, MessageCode::IssuerNotAuthority, place);
    if (info.fPathLenConstraint && caBelow > info.dwPathLenConstraint)
        return refuse(out, MessageCode::IssuerPathLengthExceeded, place);
    BYTE usage = 0;
    if (keyUsage(t, issuer, usage) && !(usage & CERT_KEY_CERT_SIGN_KEY_USAGE))
        return refuse(out, MessageCode::IssuerKeyUsageWithoutCertSign, place);
    return true;
}

bool isWeakDigestSignature(const char* algorithm) {
    return algorithm && (std::strcmp(algorithm, szOID_RSA_MD5RSA) == 0 ||
                         std::strcmp(algorithm, szOID_RSA_MD4RSA) == 0 ||
                         std::strcmp(algorithm, szOID_RSA_MD2RSA) == 0);
}

bool sameAlgorithm(const CRYPT_ALGORITHM_IDENTIFIER& a, const CRYPT_ALGORITHM_IDENTIFIER& b) {
    if (!a.pszObjId || !b.pszObjId || std::strcmp(a.pszObjId, b.pszObjId) != 0) return false;
    return a.Parameters.cbData == b.Parameters.cbData &&
           (a.Parameters.cbData == 0 ||
            std::memcmp(a.Parameters.pbData, b.Parameters.pbData, a.Parameters.cbData) == 0);
}

// The issuer's signature on a certificate is checked with the algorithm named outside the
// signed body; the body names one too. Both must be the same, and neither MD2, MD4 nor MD5:
// collisions of those are made to order, and a forged body may name a strong algorithm while
// the signature over it uses a weak one. SHA-1 links stay accepted, as chains issued in that
// era must still verify.
bool strongLink(const Crypt32Table& t, PCCERT_CONTEXT subject, uint32_t place, VerificationFailure& out) {
    DWORD size = 0;
    if (!t.decodeObject(kMessageEncoding, X509_CERT, subject->pbCertEncoded,
                        subject->cbCertEncoded, 0, nullptr, &size) ||
        size < sizeof(CERT_SIGNED_CONTENT_INFO))
        return refuse(out, MessageCode::CertificateAlgorithmMismatch, place);
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer) {
        out.code = MessageCode::PackageVerificationFailed;
        out.detail = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    if (!t.decodeObject(kMessageEncoding, X509_CERT, subject->pbCertEncoded,
                        subject->cbCertEncoded, 0, buffer.get(), &size))
        return refuse(out, MessageCode::CertificateAlgorithmMismatch, place);
    const auto* outer = reinterpret_cast<const CERT_SIGNED_CONTENT_INFO*>(buffer.get());
    const CRYPT_ALGORITHM_IDENTIFIER& inner = subject->pCertInfo->SignatureAlgorithm;
    if (isWeakDigestSignature(outer->SignatureAlgorithm.pszObjId) ||
        isWeakDigestSignature(inner.pszObjId))
        return refuse(out, MessageCode::CertificateWeakSignature, place);
    if (!sameAlgorithm(outer->SignatureAlgorithm, inner))
        return refuse(out, MessageCode::CertificateAlgorithmMismatch, place);
    return true;
}

// Extensions this program reads, or that only help find the issuer; any other extension
// marked critical refuses the certificate, as its meaning would be ignored.
bool understoodExtension(const char* oid) {
    static const char* const kUnderstood[] = {
        szOID_BASIC_CONSTRAINTS2, szOID_KEY_USAGE, szOID_ENHANCED_KEY_USAGE,
        szOID_SUBJECT_KEY_IDENTIFIER, szOID_AUTHORITY_KEY_IDENTIFIER2,
    };
    for (const char* known : kUnderstood)
        if (std::strcmp(oid, known) == 0) return true;
    return false;
}

// Name constraints are not evaluated here, so a certificate that carries them (critical or
// not) is refused rather than trusted beyond what its issuer allowed.
bool extensionsUnderstood(PCCERT_CONTEXT cert, uint32_t place, VerificationFailure& out) {
    const CERT_INFO* info = cert->pCertInfo;
    for (DWORD i = 0; i < info->cExtension; ++i) {
        const CERT_EXTENSION& ext = info->rgExtension[i];
        if (!ext.pszObjId) return refuse(out, MessageCode::CertificateUnknownCriticalExtension, place);
        if (std::strcmp(ext.pszObjId, szOID_NAME_CONSTRAINTS) == 0)
            return refuse(out, MessageCode::CertificateNameConstraints, place);
        if (ext.fCritical && !understoodExtension(ext.pszObjId))
            return refuse(out, MessageCode::CertificateUnknownCriticalExtension, place);
    }
    return true;
}

// The signer is an end-entity certificate: not a certificate authority by its basic
// constraints (absent counts as not one), and allowed digital signatures by its key usage
// when it has one (an undecodable key usage allows nothing).
bool endEntitySigner(const Crypt32Table& t, PCCERT_CONTEXT signer, VerificationFailure& out) {
    CERT_BASIC_CONSTRAINTS2_INFO info;
    if (basicConstraints(t, signer, info) && (info.fCA || info.fPathLenConstraint))
        return refuse(out, MessageCode::SignerIsAuthority, 0);
    BYTE usage = 0;
    if (keyUsage(t, signer, usage) && !(usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE))
        return refuse(out, MessageCode::SignerKeyUsageWithoutSignature, 0);
    return true;
}

// Whether the certificate's extended key usage allows code signing: a certificate without the
// extension is not limited by it; one that lists purposes must name code signing, or, for an
// issuer (anyPurpose), anyExtendedKeyUsage. One that does not decode allows nothing. False
// only when memory ran out (out says so); allowed holds the answer.
bool usageAllowsCodeSigning(const Crypt32Table& t, PCCERT_CONTEXT cert, bool anyPurpose,
                            bool& allowed, VerificationFailure& out) {
    allowed = false;
    const CERT_EXTENSION* ext = findExtension(t, cert, szOID_ENHANCED_KEY_USAGE);
    if (!ext) {
        allowed = true;
        return true;
    }
    DWORD size = 0;
    if (!t.decodeObject(kMessageEncoding, X509_ENHANCED_KEY_USAGE, ext->Value.pbData,
                        ext->Value.cbData, 0, nullptr, &size) ||
        size < sizeof(CERT_ENHKEY_USAGE))
        return true;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer) {
        out.code = MessageCode::PackageVerificationFailed;
        out.detail = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    if (!t.decodeObject(kMessageEncoding, X509_ENHANCED_KEY_USAGE, ext->Value.pbData,
                        ext->Value.cbData, 0, buffer.get(), &size))
        return true;
    const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(buffer.get());
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        const char* purpose = usage->rgpszUsageIdentifier[i];
        if (std::strcmp(purpose, szOID_PKIX_KP_CODE_SIGNING) == 0 ||
            (anyPurpose && std::strcmp(purpose, kOidAnyExtendedKeyUsage) == 0))
            allowed = true;
    }
    return true;
}

// The signer may sign packages unless its extended key usage lists purposes without code
// signing. Without the extension it may, as always.
bool maySignCode(const Crypt32Table& t, PCCERT_CONTEXT signer, VerificationFailure& out) {
    bool allowed = false;
    if (!usageAllowsCodeSigning(t, signer, false, allowed, out)) return false;
    return allowed || refuse(out, MessageCode::SignerNotForCodeSigning, 0);
}

// Extended key usage narrows along the chain: an issuer whose list leaves out code signing
// cannot hand that purpose down, so a signer below an authority limited to, say, server
// authentication signs no package. An issuer without the extension limits nothing.
bool issuerAllowsCodeSigning(const Crypt32Table& t, PCCERT_CONTEXT issuer, uint32_t place,
                             VerificationFailure& out) {
    bool allowed = false;
    if (!usageAllowsCodeSigning(t, issuer, true, allowed, out)) return false;
    return allowed || refuse(out, MessageCode::IssuerNotForCodeSigning, place);
}

// The content of a package verified in memory, collected as the check hands it on.
class ContentBuffer : public EnvelopeContentSink {
public:
    explicit ContentBuffer(uint32_t capacity)
        : bytes(new (std::nothrow) uint8_t[capacity ? capacity : 1]), capacity_(capacity) {}
    bool content(const uint8_t* data, size_t n) override {
        if (n > capacity_ - size) return false;
        std::memcpy(bytes.get() + size, data, n);
        size += static_cast<uint32_t>(n);
        return true;
    }
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;

private:
    uint32_t capacity_;
};

// Bytes in memory go through the check in the blocks a file would.
constexpr uint32_t kMemoryCheckBlockBytes = 1u << 20;

}  // namespace

CryptoHelper::CryptoHelper() : CryptoHelper(kEmbeddedCaCertificate, kEmbeddedCaCertificateSize) {}

CryptoHelper::CryptoHelper(const uint8_t* caCertificate, uint32_t caCertificateSize)
    : caCertificate_(caCertificate), caCertificateSize_(caCertificateSize) {}

CryptoHelper::~CryptoHelper() = default;

bool CryptoHelper::verifySignedMessage(const uint8_t* data, uint32_t size,
                                       std::unique_ptr<uint8_t[]>& content,
                                       uint32_t& contentSize) {
    failure_ = VerificationFailure{};
    content.reset();
    contentSize = 0;
    if (!data) {
        failure_.detail = ERROR_INVALID_DATA;
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    // The content is never larger than the message that embeds it.
    ContentBuffer buffer(size);
    if (!buffer.bytes) {
        failure_.detail = ERROR_NOT_ENOUGH_MEMORY;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    SignedPackageCheck check(*this, &buffer);
    // The check's failure as a rule's code: the digest's own, the chain's (set by
    // verifySignerChain), or crypt32's and the envelope's error value.
    auto failed = [&]() {
        const DWORD error = GetLastError();
        if (check.failure() == PackageCheckFailure::DigestAlgorithmWeak) {
            failure_.code = MessageCode::PackageDigestAlgorithmWeak;
            failure_.detail = static_cast<int32_t>(check.signerDigestAlgorithm());
        } else if (check.failure() != PackageCheckFailure::ChainRefused) {
            failure_.code = MessageCode::PackageVerificationFailed;
            failure_.detail = static_cast<int32_t>(error ? error : ERROR_INVALID_DATA);
        }
        SetLastError(error);
        return false;
    };
    if (!check.begin()) return failed();
    for (uint32_t done = 0; done < size;) {
        const uint32_t step = std::min<uint32_t>(size - done, kMemoryCheckBlockBytes);
        if (!check.update(data + done, step)) return failed();
        done += step;
    }
    if (!check.finish()) return failed();
    content = std::move(buffer.bytes);
    contentSize = buffer.size;
    return true;
}

bool CryptoHelper::verifySignerChain(PCCERT_CONTEXT& signer, HCERTSTORE& store) {
    failure_ = VerificationFailure{};
    const bool verified = walkSignerChain(signer, store, failure_);
    if (!verified) {
        // A crypt32 failure that left no error value still says that it failed.
        if (failure_.code == MessageCode::PackageVerificationFailed && failure_.detail == 0)
            failure_.detail = static_cast<int32_t>(TRUST_E_NOSIGNATURE);
        SetLastError(failure_.code == MessageCode::PackageVerificationFailed
                         ? static_cast<DWORD>(failure_.detail)
                         : static_cast<DWORD>(CERT_E_CHAINING));
    }
    return verified;
}

bool CryptoHelper::walkSignerChain(PCCERT_CONTEXT& signer, HCERTSTORE& store,
                                   VerificationFailure& out) {
    if (!crypt32_) {
        crypt32_.reset(new (std::nothrow) Crypt32Table);
        if (!crypt32_ || !loadTable(*crypt32_)) {
            const DWORD error = crypt32_ ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
            crypt32_.reset();
            out.detail = static_cast<int32_t>(error);
            return false;
        }
    }
    const Crypt32Table& t = *crypt32_;
    VerificationScope scope(t);
    scope.current = signer;
    scope.store = store;
    signer = nullptr;
    store = nullptr;

    if (!scope.current || !scope.store) {
        out.detail = static_cast<int32_t>(CRYPT_E_SIGNER_NOT_FOUND);
        return false;
    }
    if (!extensionsUnderstood(scope.current, 0, out) || !endEntitySigner(t, scope.current, out) ||
        !maySignCode(t, scope.current, out))
        return false;
    scope.anchor = t.createCertificateContext(kMessageEncoding, caCertificate_, caCertificateSize_);
    if (!scope.anchor) {
        out.detail = static_cast<int32_t>(GetLastError());
        return false;
    }

    // Walk up the issuer links carried in the message. The walk ends at a certificate whose
    // issuer is not in the message, at a self-issued one, or where the message carries the
    // trust anchor itself (whose own dates play no part); chains longer than the limit fail.
    // Every issuer on the way must be allowed to issue certificates. The certificate at place
    // `links` is signed by the one at place links + 1; an issuer sees `links` authorities
    // between itself and the signer; the anchor sees all that were walked.
    bool ended = false;
    uint32_t walked = 0;
    for (uint32_t links = 0; links < kMaxChainLinks; ++links) {
        scope.found = t.findCertificateInStore(scope.store, kMessageEncoding, 0,
                                               CERT_FIND_ISSUER_OF, scope.current, nullptr);
        if (!scope.found ||
            sameCertificate(scope.found, scope.current->pbCertEncoded, scope.current->cbCertEncoded) ||
            sameCertificate(scope.found, caCertificate_, caCertificateSize_)) {
            scope.release(scope.found);
            ended = true;
            break;
        }
        const uint32_t issuerPlace = links + 1;
        if (!extensionsUnderstood(scope.found, issuerPlace, out) ||
            !mayIssue(t, scope.found, links, issuerPlace, out) ||
            !issuerAllowsCodeSigning(t, scope.found, issuerPlace, out) ||
            !strongLink(t, scope.current, links, out) ||
            !linkVerifies(t, scope.current, scope.found, links, out))
            return false;
        scope.release(scope.current);
        scope.current = scope.found;
        scope.found = nullptr;
        walked = links + 1;
    }
    if (!ended) return refuse(out, MessageCode::ChainTooLong, kMaxChainLinks);
    return extensionsUnderstood(scope.anchor, walked + 1, out) &&
           mayIssue(t, scope.anchor, walked, walked + 1, out) &&
           issuerAllowsCodeSigning(t, scope.anchor, walked + 1, out) &&
           strongLink(t, scope.current, walked, out) &&
           linkVerifies(t, scope.current, scope.anchor, walked, out);
}

namespace {

// Where a digest stopped: its FileDigestResult and the thread's last error at that moment.
struct DigestStep {
    uint32_t code = kDigestOk;
    DWORD error = 0;
    bool fail(uint32_t c) {
        code = c;
        error = GetLastError();
        return false;
    }
};

// kernel32's redirection switch (optional) and advapi32's hash calls, loaded for one digest;
// advapi32's table stays empty when any of it is missing, with the loader's error kept.
void loadDigestTables(std::unique_ptr<Kernel32Table>& kernel32,
                      std::unique_ptr<Advapi32Table>& advapi32) {
    if (!kernel32) {
        kernel32.reset(new (std::nothrow) Kernel32Table);
        if (kernel32) loadTable(*kernel32);
    }
    if (!advapi32) {
        advapi32.reset(new (std::nothrow) Advapi32Table);
        if (advapi32 && !loadTable(*advapi32)) {
            const DWORD loadError = GetLastError();
            advapi32.reset();
            SetLastError(loadError);
        }
    }
}

// The provider's SHA-256 hash object, destroyed and its provider released at the end.
class FileHash {
public:
    explicit FileHash(const Advapi32Table& a) : a_(a) {}
    ~FileHash() {
        if (hash_) a_.destroyHash(hash_);
        if (provider_) a_.releaseContext(provider_, 0);
    }
    FileHash(const FileHash&) = delete;
    FileHash& operator=(const FileHash&) = delete;

    // A provider that fails for another reason than a missing key set is left unacquired:
    // creating the hash then fails and names the cause.
    bool create(DigestStep& step) {
        if (!a_.acquireContext(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
            provider_ = 0;
            if (GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET) &&
                !a_.acquireContext(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
                provider_ = 0;
                return step.fail(kDigestNewKeySetFailed);
            }
        }
        if (!a_.createHash(provider_, CALG_SHA_256, 0, 0, &hash_)) {
            hash_ = 0;
            return step.fail(kDigestCreateHashFailed);
        }
        return true;
    }

    bool add(const BYTE* data, DWORD size, DigestStep& step) {
        return a_.hashData(hash_, data, size, 0) || step.fail(kDigestHashDataFailed);
    }

    // The value as 64 lowercase hex characters and a NUL; hexOut is written only on success.
    bool finish(char* hexOut, DigestStep& step) {
        DWORD hashSize = 0;
        DWORD len = sizeof(hashSize);
        if (!a_.getHashParam(hash_, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize), &len, 0))
            return step.fail(kDigestHashSizeFailed);
        BYTE value[260] = {};
        DWORD valueLen = sizeof(value);
        if (!a_.getHashParam(hash_, HP_HASHVAL, value, &valueLen, 0))
            return step.fail(kDigestHashValueFailed);
        static const char kHex[] = "0123456789abcdef";
        uint32_t n = 0;
        for (DWORD i = 0; i < valueLen && n < kDigestHexLength; ++i) {
            hexOut[n++] = kHex[value[i] >> 4];
            hexOut[n++] = kHex[value[i] & 0x0f];
        }
        hexOut[n] = '\0';
        return true;
    }

private:
    const Advapi32Table& a_;
    HCRYPTPROV provider_ = 0;
    HCRYPTHASH hash_ = 0;
};

// Opens the file for reading. With disableRedirection (where kernel32 has the switch) WOW64
// redirection is off around this one open only: it is per thread, and stays as it was after.
// What opened must be a plain file of one name, reached without following a link; anything
// else did not open as far as the digest is concerned (1151, with the reason).
bool openForDigest(const Kernel32Table* kernel32, const wchar_t* path, bool disableRedirection,
                   FileHandle& file, DigestStep& step) {
    PVOID oldValue = nullptr;
    const bool switchRedirection = disableRedirection && kernel32 && kernel32->complete();
    if (switchRedirection && !kernel32->disableRedirection(&oldValue))
        return step.fail(kDigestDisableRedirFailed);
    file.reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           kPlainFileOpenFlags, nullptr));
    const DWORD openError = GetLastError();
    if (switchRedirection && !kernel32->revertRedirection(oldValue)) {
        step.fail(kDigestRevertRedirFailed);
        file.close();
        return false;
    }
    if (!file.valid()) {
        SetLastError(openError);
        return step.fail(kDigestOpenFailed);
    }
    if (!isPlainFileOfOneName(file.get())) {
        step.fail(kDigestOpenFailed);
        file.close();
        return false;
    }
    return true;
}

// Hashes the open file from its start to its end, which must come exactly at the size it had
// when opened: a file that grew or shrank meanwhile has no single digest, and the digest of a
// prefix would describe no file that is there. An empty file has none either.
bool hashFileContents(HANDLE file, FileHash& hash, DigestStep& step) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size)) return step.fail(kDigestFileSizeFailed);
    if (size.QuadPart == 0) return step.fail(kDigestEmptyFile);
    // Chunks from the stack: hashing a large file needs no heap for its data. 64 KiB rather
    // than 1 KiB: with 1 KiB the per-call cost of ReadFile and CryptHashData made the digest
    // well over twice as slow as sha256sum.
    BYTE chunk[kDigestChunkBytes];
    const uint64_t expected = static_cast<uint64_t>(size.QuadPart);
    uint64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof(chunk), &got, nullptr))
            return step.fail(kDigestReadFailed);
        if (got == 0) {
            if (total == expected) return true;
            SetLastError(ERROR_HANDLE_EOF);
            return step.fail(kDigestReadFailed);
        }
        if (got > expected - total) {
            SetLastError(ERROR_SUCCESS);  // no Windows error: the file changed
            return step.fail(kDigestFileGrew);
        }
        if (!hash.add(chunk, got, step)) return false;
        total += got;
    }
}

// The hash made, the file opened and hashed (and closed again), the value written out.
bool digestFile(const Advapi32Table& advapi32, const Kernel32Table* kernel32, const wchar_t* path,
                bool disableRedirection, char* hexOut, DigestStep& step) {
    FileHash hash(advapi32);
    if (!hash.create(step)) return false;
    {
        FileHandle file(INVALID_HANDLE_VALUE);
        if (!openForDigest(kernel32, path, disableRedirection, file, step) ||
            !hashFileContents(file.get(), hash, step))
            return false;
    }
    return hash.finish(hexOut, step);
}

}  // namespace

bool CryptoHelper::fileDigest(const wchar_t* path, char* hexOut, uint32_t& errorCode,
                              uint32_t& lastError, bool disableRedirection) {
    loadDigestTables(kernel32_, advapi32_);
    DigestStep step;
    if (!advapi32_)
        step.fail(kDigestAdvapiMissing);
    else
        digestFile(*advapi32_, kernel32_.get(), path, disableRedirection, hexOut, step);
    // The libraries are held for one digest only.
    advapi32_.reset();
    kernel32_.reset();
    if (step.code != kDigestOk) {
        errorCode = step.code;
        lastError = step.error;
        return false;
    }
    return true;
}
