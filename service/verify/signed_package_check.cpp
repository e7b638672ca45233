// The one-pass package check: envelope, content digests, detached message, signature, chain.
#include "verify/signed_package_check.h"

#include <algorithm>
#include <cstring>

#include "platform/system_library.h"

// crypt32's entry points of the check, resolved from the system folder's library.
struct SignedPackageCheck::Crypt32Functions {
    HMODULE module = nullptr;
    decltype(&CryptMsgOpenToDecode) msgOpenToDecode = nullptr;
    decltype(&CryptMsgUpdate) msgUpdate = nullptr;
    decltype(&CryptMsgGetParam) msgGetParam = nullptr;
    decltype(&CryptMsgClose) msgClose = nullptr;
    decltype(&CertOpenStore) openStore = nullptr;
    decltype(&CertCloseStore) closeStore = nullptr;
    decltype(&CertGetSubjectCertificateFromStore) getSubjectCertificateFromStore = nullptr;
    decltype(&CertFreeCertificateContext) freeCertificateContext = nullptr;
    decltype(&CryptImportPublicKeyInfo) importPublicKeyInfo = nullptr;
    ~Crypt32Functions() {
        if (module) FreeLibrary(module);
    }
};

namespace {

const char kOidMd5[] = "1.2.840.113549.2.5";
const char kOidSha1[] = "1.3.14.3.2.26";
const char kOidSha256[] = "2.16.840.1.101.3.4.2.1";
const char kOidSha384[] = "2.16.840.1.101.3.4.2.2";
const char kOidSha512[] = "2.16.840.1.101.3.4.2.3";

// The decoded message, the store of its certificates, the signer's certificate and public key,
// released in reverse order.
struct MessageScope {
    explicit MessageScope(const SignedPackageCheck::Crypt32Functions* t,
                          const HashProvider& provider)
        : t_(*t), provider_(provider) {}
    ~MessageScope() {
        const DWORD error = GetLastError();
        if (key) provider_.destroyKey(key);
        if (signer) t_.freeCertificateContext(signer);
        if (store) t_.closeStore(store, 0);
        if (message) t_.msgClose(message);
        SetLastError(error);
    }
    const SignedPackageCheck::Crypt32Functions& t_;
    const HashProvider& provider_;
    HCRYPTMSG message = nullptr;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT signer = nullptr;
    HCRYPTKEY key = 0;
};

}  // namespace

ALG_ID digestAlgorithmId(const std::string& oid) {
    if (oid == kOidSha256) return CALG_SHA_256;
    if (oid == kOidSha384) return CALG_SHA_384;
    if (oid == kOidSha512) return CALG_SHA_512;
    if (oid == kOidSha1) return CALG_SHA1;
    if (oid == kOidMd5) return CALG_MD5;
    return 0;
}

SignedPackageCheck::SignedPackageCheck(CryptoHelper& crypto, EnvelopeContentSink* content)
    : crypto_(crypto), sink_(content) {}

SignedPackageCheck::~SignedPackageCheck() {
    digests_.clear();  // before the provider they came from
}

bool SignedPackageCheck::fail(PackageCheckFailure failure, DWORD error) {
    failure_ = failure;
    SetLastError(error);
    return false;
}

bool SignedPackageCheck::begin() {
    // crypt32 from the system folder first: the provider's own libraries then find it loaded
    // rather than looking for it beside the program.
    crypt32_.reset(new (std::nothrow) Crypt32Functions);
    if (!crypt32_) return fail(PackageCheckFailure::Unavailable, ERROR_NOT_ENOUGH_MEMORY);
    Crypt32Functions& t = *crypt32_;
    if (!loadSystemLibrary(t.module, L"crypt32.dll") ||
        !resolve(t.module, "CryptMsgOpenToDecode", t.msgOpenToDecode) ||
        !resolve(t.module, "CryptMsgUpdate", t.msgUpdate) ||
        !resolve(t.module, "CryptMsgGetParam", t.msgGetParam) ||
        !resolve(t.module, "CryptMsgClose", t.msgClose) ||
        !resolve(t.module, "CertOpenStore", t.openStore) ||
        !resolve(t.module, "CertCloseStore", t.closeStore) ||
        !resolve(t.module, "CertGetSubjectCertificateFromStore", t.getSubjectCertificateFromStore) ||
        !resolve(t.module, "CertFreeCertificateContext", t.freeCertificateContext) ||
        !resolve(t.module, "CryptImportPublicKeyInfo", t.importPublicKeyInfo))
        return fail(PackageCheckFailure::Unavailable, GetLastError());
    uint32_t code = 0;
    if (!provider_.open(code)) return fail(PackageCheckFailure::Unavailable, GetLastError());
    return true;
}

// One digest per algorithm the message lists that the provider computes (at most one each):
// the signer's must be among them, which finish() checks.
bool SignedPackageCheck::startDigests() {
    if (digestsStarted_) return true;
    digestsStarted_ = true;
    for (const std::vector<uint8_t>& oid : parser_.digestAlgorithms()) {
        const ALG_ID algorithm = digestAlgorithmId(oidText(oid));
        if (!algorithm) continue;
        bool have = false;
        for (const auto& d : digests_) have = have || d->algorithm() == algorithm;
        if (have) continue;
        std::unique_ptr<BulkDigest> digest(new (std::nothrow) BulkDigest(provider_, algorithm));
        if (!digest) return fail(PackageCheckFailure::ContentDigestFailed, ERROR_NOT_ENOUGH_MEMORY);
        if (!digest->valid()) return fail(PackageCheckFailure::ContentDigestFailed, GetLastError());
        digests_.push_back(std::move(digest));
    }
    return true;
}

bool SignedPackageCheck::content(const uint8_t* data, size_t size) {
    if (!startDigests()) return false;
    for (const auto& digest : digests_)
        if (!digest->update(data, size))
            return fail(PackageCheckFailure::ContentDigestFailed, GetLastError());
    if (sink_ && !sink_->content(data, size))
        return fail(PackageCheckFailure::ContentRefused, GetLastError());
    return true;
}

bool SignedPackageCheck::envelopeFailed() {
    if (failure_ != PackageCheckFailure::None) return false;  // the sink or a digest said why
    if (parser_.result() == SignedEnvelopeParser::Result::IndefiniteLength)
        return fail(PackageCheckFailure::EnvelopeIndefinite, static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
    return fail(PackageCheckFailure::EnvelopeMalformed, static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
}

bool SignedPackageCheck::update(const uint8_t* data, size_t size) {
    if (failure_ != PackageCheckFailure::None) return false;
    if (!parser_.feed(data, size, *this)) return envelopeFailed();
    return true;
}

bool SignedPackageCheck::finish() {
    if (failure_ != PackageCheckFailure::None) return false;
    if (!parser_.finish()) return envelopeFailed();
    if (!startDigests()) return false;  // a message whose content is empty

    // The content's digest with the signer's algorithm, computed as the content passed.
    const EnvelopeSigner& signer = parser_.signer();
    const ALG_ID algorithm = digestAlgorithmId(oidText(signer.digestAlgorithm));
    signerDigestAlgorithm_ = algorithm;
    // SHA-256 or stronger: a package signed over an MD5 or SHA-1 digest is refused (a collision
    // would let another content carry its signature).
    if (algorithm && algorithm != CALG_SHA_256 && algorithm != CALG_SHA_384 &&
        algorithm != CALG_SHA_512)
        return fail(PackageCheckFailure::DigestAlgorithmWeak, static_cast<DWORD>(NTE_BAD_ALGID));
    BulkDigest* digest = nullptr;
    for (const auto& d : digests_)
        if (algorithm && d->algorithm() == algorithm) digest = d.get();
    if (!digest) return fail(PackageCheckFailure::DigestAlgorithmUnknown, static_cast<DWORD>(NTE_BAD_ALGID));
    std::vector<uint8_t> contentDigest;
    if (!digest->finish(contentDigest))
        return fail(PackageCheckFailure::ContentDigestFailed, GetLastError());

    // With signed attributes the signature covers them, and they must name this content.
    if (signer.hasSignedAttributes) {
        if (signer.messageDigest != contentDigest)
            return fail(PackageCheckFailure::ContentDigestMismatch, static_cast<DWORD>(CRYPT_E_HASH_VALUE));
        if (signer.contentTypeValue != parser_.contentType())
            return fail(PackageCheckFailure::ContentTypeMismatch,
                        static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE));
    }
    return verifySignature(contentDigest, algorithm);
}

bool SignedPackageCheck::verifySignature(const std::vector<uint8_t>& contentDigest,
                                         ALG_ID algorithm) {
    const Crypt32Functions& t = *crypt32_;
    detached_ = parser_.detached();
    MessageScope scope(crypt32_.get(), provider_);

    // crypt32 decodes the detached message: the signer's identity and the certificates.
    scope.message = t.msgOpenToDecode(kMessageEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
    if (!scope.message ||
        !t.msgUpdate(scope.message, detached_.data(), static_cast<DWORD>(detached_.size()), TRUE))
        return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    DWORD size = 0;
    if (!t.msgGetParam(scope.message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) || size == 0)
        return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    std::vector<uint8_t> signerId(size);
    if (!t.msgGetParam(scope.message, CMSG_SIGNER_CERT_INFO_PARAM, 0, signerId.data(), &size))
        return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    scope.store = t.openStore(CERT_STORE_PROV_MSG, kMessageEncoding, 0, 0, scope.message);
    if (!scope.store) return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    scope.signer = t.getSubjectCertificateFromStore(scope.store, kMessageEncoding,
                                                    reinterpret_cast<PCERT_INFO>(signerId.data()));
    if (!scope.signer) return fail(PackageCheckFailure::SignatureInvalid, GetLastError());

    // The signature, with the provider's own primitives: over the signed attributes (encoded
    // as the SET they are, not with their [0] tag), else over the content's digest.
    if (!t.importPublicKeyInfo(provider_.handle(), kMessageEncoding,
                               &scope.signer->pCertInfo->SubjectPublicKeyInfo, &scope.key)) {
        scope.key = 0;
        return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    }
    const EnvelopeSigner& signer = parser_.signer();
    StreamDigest signed_(provider_, algorithm);
    if (!signed_.valid()) return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    if (signer.hasSignedAttributes) {
        std::vector<uint8_t> attributes = signer.signedAttributes;
        attributes[0] = 0x31;  // SET OF
        if (!signed_.update(attributes.data(), attributes.size()))
            return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    } else if (!provider_.setHashParam(signed_.handle(), HP_HASHVAL, contentDigest.data(), 0)) {
        return fail(PackageCheckFailure::SignatureInvalid, GetLastError());
    }
    // The provider takes the signature little-endian.
    std::vector<uint8_t> signature(signer.signature.rbegin(), signer.signature.rend());
    if (!provider_.verifySignature(signed_.handle(), signature.data(),
                                   static_cast<DWORD>(signature.size()), scope.key, nullptr, 0))
        return fail(PackageCheckFailure::SignatureInvalid, GetLastError());

    // The chain, from the signer through the certificates the message carries.
    if (!crypto_.verifySignerChain(scope.signer, scope.store))
        return fail(PackageCheckFailure::ChainRefused, GetLastError());
    return true;
}
