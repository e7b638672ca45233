#include "verify/crypto_helper.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/system_library.h"
#include "platform/file_handle.h"
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

template <typename Fn>
bool resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return fn != nullptr;
}

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

// Subject signed by issuer's key and currently within its validity period.
bool linkVerifies(const Crypt32Table& t, PCCERT_CONTEXT subject, PCCERT_CONTEXT issuer) {
    DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
    if (!t.verifySubjectCertificateContext(subject, issuer, &flags)) return false;
    if (flags & CERT_STORE_SIGNATURE_FLAG) SetLastError(static_cast<DWORD>(TRUST_E_CERT_SIGNATURE));
    else if (flags) SetLastError(static_cast<DWORD>(CERT_E_EXPIRED));
    return flags == 0;
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

// An issuer may vouch for another certificate unless its basic constraints say it is no
// certificate authority, or limit the authorities below it (caBelow of them between it and
// the signer) to fewer. Without the extension it may, as always.
bool mayIssue(const Crypt32Table& t, PCCERT_CONTEXT issuer, uint32_t caBelow) {
    CERT_BASIC_CONSTRAINTS2_INFO info;
    if (!basicConstraints(t, issuer, info)) return true;
    if (!info.fCA || (info.fPathLenConstraint && caBelow > info.dwPathLenConstraint)) {
        SetLastError(static_cast<DWORD>(TRUST_E_BASIC_CONSTRAINTS));
        return false;
    }
    return true;
}

// A link signed with MD5 (or MD2, MD4) proves nothing: collisions are made to order. SHA-1
// links stay accepted, as packages signed in that era must still verify.
bool strongLink(PCCERT_CONTEXT subject) {
    const char* algorithm = subject->pCertInfo->SignatureAlgorithm.pszObjId;
    if (algorithm && (std::strcmp(algorithm, szOID_RSA_MD5RSA) == 0 ||
                      std::strcmp(algorithm, szOID_RSA_MD4RSA) == 0 ||
                      std::strcmp(algorithm, szOID_RSA_MD2RSA) == 0)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return false;
    }
    return true;
}

// The signer is an end-entity certificate: not a certificate authority by its basic
// constraints (absent counts as not one), and allowed digital signatures by its key usage
// when it has one (an undecodable key usage allows nothing).
bool endEntitySigner(const Crypt32Table& t, PCCERT_CONTEXT signer) {
    CERT_BASIC_CONSTRAINTS2_INFO info;
    if (basicConstraints(t, signer, info) && (info.fCA || info.fPathLenConstraint)) {
        SetLastError(static_cast<DWORD>(TRUST_E_BASIC_CONSTRAINTS));
        return false;
    }
    const CERT_EXTENSION* ext = findExtension(t, signer, szOID_KEY_USAGE);
    if (!ext) return true;
    uint8_t buffer[64] = {};
    DWORD size = sizeof(buffer);
    const auto* bits = reinterpret_cast<const CRYPT_BIT_BLOB*>(buffer);
    if (!t.decodeObject(kMessageEncoding, X509_KEY_USAGE, ext->Value.pbData, ext->Value.cbData,
                        0, buffer, &size) ||
        bits->cbData == 0 || !(bits->pbData[0] & CERT_DIGITAL_SIGNATURE_KEY_USAGE)) {
        SetLastError(static_cast<DWORD>(CERT_E_WRONG_USAGE));
        return false;
    }
    return true;
}

// The signer may sign packages unless its extended key usage lists purposes without code
// signing. Without the extension it may, as always; one that does not decode may not.
bool maySignCode(const Crypt32Table& t, PCCERT_CONTEXT signer) {
    const CERT_EXTENSION* ext = findExtension(t, signer, szOID_ENHANCED_KEY_USAGE);
    if (!ext) return true;
    DWORD size = 0;
    if (!t.decodeObject(kMessageEncoding, X509_ENHANCED_KEY_USAGE, ext->Value.pbData,
                        ext->Value.cbData, 0, nullptr, &size) ||
        size < sizeof(CERT_ENHKEY_USAGE))
        return false;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
    if (!buffer) return false;
    if (!t.decodeObject(kMessageEncoding, X509_ENHANCED_KEY_USAGE, ext->Value.pbData,
                        ext->Value.cbData, 0, buffer.get(), &size))
        return false;
    const auto* usage = reinterpret_cast<const CERT_ENHKEY_USAGE*>(buffer.get());
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0)
            return true;
    return false;
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
    content.reset();
    contentSize = 0;
    if (!data) return false;
    // The content is never larger than the message that embeds it.
    ContentBuffer buffer(size);
    if (!buffer.bytes) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    SignedPackageCheck check(*this, &buffer);
    if (!check.begin()) return false;
    for (uint32_t done = 0; done < size;) {
        const uint32_t step = std::min<uint32_t>(size - done, kMemoryCheckBlockBytes);
        if (!check.update(data + done, step)) return false;
        done += step;
    }
    if (!check.finish()) return false;
    content = std::move(buffer.bytes);
    contentSize = buffer.size;
    return true;
}

bool CryptoHelper::verifySignerChain(PCCERT_CONTEXT& signer, HCERTSTORE& store) {
    if (!crypt32_) {
        crypt32_.reset(new (std::nothrow) Crypt32Table);
        if (!crypt32_ || !loadTable(*crypt32_)) {
            const DWORD error = crypt32_ ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
            crypt32_.reset();
            SetLastError(error);
            return false;
        }
    }
    const Crypt32Table& t = *crypt32_;
    VerificationScope scope(t);
    scope.current = signer;
    scope.store = store;
    signer = nullptr;
    store = nullptr;

    if (!scope.current || !scope.store) return false;
    if (!endEntitySigner(t, scope.current)) return false;
    if (!maySignCode(t, scope.current)) {
        SetLastError(static_cast<DWORD>(CERT_E_WRONG_USAGE));
        return false;
    }
    scope.anchor = t.createCertificateContext(kMessageEncoding, caCertificate_, caCertificateSize_);
    if (!scope.anchor) return false;

    // Walk up the issuer links carried in the message. The walk ends at a certificate whose
    // issuer is not in the message, at a self-issued one, or where the message carries the
    // trust anchor itself (whose own dates play no part); chains longer than the limit fail.
    // Every issuer on the way must be allowed to issue certificates.
    // An issuer sees `links` authorities between itself and the signer; the anchor sees all
    // that were walked.
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
        if (!mayIssue(t, scope.found, links) || !strongLink(scope.current) ||
            !linkVerifies(t, scope.current, scope.found))
            return false;
        scope.release(scope.current);
        scope.current = scope.found;
        scope.found = nullptr;
        walked = links + 1;
    }
    if (!ended) {
        SetLastError(static_cast<DWORD>(CERT_E_CHAINING));
        return false;
    }
    return mayIssue(t, scope.anchor, walked) && strongLink(scope.current) &&
           linkVerifies(t, scope.current, scope.anchor);
}

bool CryptoHelper::fileDigest(const wchar_t* path, char* hexOut, uint32_t& errorCode,
                              uint32_t& lastError, bool disableRedirection) {
    uint32_t code = kDigestOk;
    DWORD error = 0;
    auto fail = [&](uint32_t c) {
        code = c;
        error = GetLastError();
    };

    if (!kernel32_) {
        kernel32_.reset(new (std::nothrow) Kernel32Table);
        if (kernel32_) loadTable(*kernel32_);
    }
    if (!advapi32_) {
        advapi32_.reset(new (std::nothrow) Advapi32Table);
        if (advapi32_ && !loadTable(*advapi32_)) {
            const DWORD loadError = GetLastError();
            advapi32_.reset();
            SetLastError(loadError);
        }
    }

    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE value[260] = {};
    DWORD hashSize = 0;
    if (!advapi32_) {
        fail(kDigestAdvapiMissing);
    } else {
        const Advapi32Table& a = *advapi32_;
        if (!a.acquireContext(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
            provider = 0;
            if (GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET) &&
                !a.acquireContext(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
                provider = 0;
                fail(kDigestNewKeySetFailed);
            }
        }
        if (code == kDigestOk && !a.createHash(provider, CALG_SHA_256, 0, 0, &hash)) {
            hash = 0;
            fail(kDigestCreateHashFailed);
        }
        if (code == kDigestOk) {
            PVOID oldValue = nullptr;
            bool redirectionOff = false;
            if (disableRedirection && kernel32_ && kernel32_->complete()) {
                if (kernel32_->disableRedirection(&oldValue))
                    redirectionOff = true;
                else
                    fail(kDigestDisableRedirFailed);
            }
            if (code == kDigestOk) {
                FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
                const DWORD openError = GetLastError();
                // Redirection is per thread and stays off only around the one open.
                if (redirectionOff && !kernel32_->revertRedirection(oldValue)) {
                    fail(kDigestRevertRedirFailed);
                    file.close();
                }
                LARGE_INTEGER size = {};
                if (code != kDigestOk) {
                } else if (!file.valid()) {
                    SetLastError(openError);
                    fail(kDigestOpenFailed);
                } else if (!GetFileSizeEx(file.get(), &size)) {
                    fail(kDigestFileSizeFailed);
                } else if (size.QuadPart == 0) {
                    fail(kDigestEmptyFile);
                } else {
                    // Chunks from the stack: hashing a large file needs no heap for its data.
                    // 64 KiB rather than 1 KiB: with 1 KiB the per-call cost of ReadFile and
                    // CryptHashData made the digest well over twice as slow as sha256sum.
                    // Read to the end, not to the size: a file that grew or shrank meanwhile
                    // has no single digest.
                    BYTE chunk[kDigestChunkBytes];
                    const uint64_t expected = static_cast<uint64_t>(size.QuadPart);
                    uint64_t total = 0;
                    for (;;) {
                        DWORD got = 0;
                        if (!ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr)) {
                            fail(kDigestReadFailed);
                            break;
                        }
                        if (got == 0) {
                            // The file ended before its size: the digest of a prefix would
                            // describe no file that is there.
                            if (total < expected) {
                                SetLastError(ERROR_HANDLE_EOF);
                                fail(kDigestReadFailed);
                            }
                            break;
                        }
                        if (got > expected - total) {
                            SetLastError(ERROR_SUCCESS);  // no Windows error: the file changed
                            fail(kDigestFileGrew);
                            break;
                        }
                        if (!a.hashData(hash, chunk, got, 0)) {
                            fail(kDigestHashDataFailed);
                            break;
                        }
                        total += got;
                    }
                }
            }
        }
        if (code == kDigestOk) {
            DWORD len = sizeof(hashSize);
            if (!a.getHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize), &len, 0))
                fail(kDigestHashSizeFailed);
        }
        DWORD valueLen = sizeof(value);
        if (code == kDigestOk && !a.getHashParam(hash, HP_HASHVAL, value, &valueLen, 0))
            fail(kDigestHashValueFailed);
        if (hash) a.destroyHash(hash);
        if (provider) a.releaseContext(provider, 0);
        if (code == kDigestOk) {
            static const char kHex[] = "0123456789abcdef";
            uint32_t n = 0;
            for (DWORD i = 0; i < valueLen && n < kDigestHexLength; ++i) {
                hexOut[n++] = kHex[value[i] >> 4];
                hexOut[n++] = kHex[value[i] & 0x0f];
            }
            hexOut[n] = '\0';
        }
    }
    advapi32_.reset();
    kernel32_.reset();
    if (code != kDigestOk) {
        errorCode = code;
        lastError = error;
        return false;
    }
    return true;
}
