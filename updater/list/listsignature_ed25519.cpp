// Builds with a public key: Ed25519 signatures checked with OpenSSL's libcrypto.
#include "list/listsignature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

// The PEM text of the public key, embedded by the build from the file it was configured with.
extern const char kListPublicKeyPem[];

namespace {
// An Ed25519 signature is 64 bytes; its base64 text is 88 characters. Anything much longer is
// not a signature and is refused before it is decoded.
const int kMaxSignatureTextBytes = 256;

struct BioFree { void operator()(BIO* b) const { BIO_free(b); } };
struct KeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct MdCtxFree { void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); } };
}  // namespace

bool listSignatureRequired() { return true; }

bool verifyListSignature(const QByteArray& version, const QByteArray& body,
                         const QByteArray& signatureBase64, QString* why)
{
    auto fail = [why](const QString& text) {
        if (why) *why = text;
        return false;
    };
    const QByteArray text = signatureBase64.trimmed();
    if (text.isEmpty()) return fail(QStringLiteral("the response carries no Domvista-Signature header"));
    if (text.size() > kMaxSignatureTextBytes) return fail(QStringLiteral("the signature header is too long"));
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return fail(QStringLiteral("the signature is not base64"));

    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(kListPublicKeyPem, -1));
    std::unique_ptr<EVP_PKEY, KeyFree> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        return fail(QStringLiteral("the built-in public key is not an Ed25519 key"));
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    const QByteArray message = signedListMessage(version, body);
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return fail(QStringLiteral("the signature check could not start"));
    }
    const int valid = EVP_DigestVerify(ctx.get(),
        reinterpret_cast<const unsigned char*>(decoded.decoded.constData()), size_t(decoded.decoded.size()),
        reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size()));
    if (valid != 1) return fail(QStringLiteral("the signature does not match the version and the file list"));
    return true;
}
