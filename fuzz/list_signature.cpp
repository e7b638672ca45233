// The signed file list's envelope: the version header, the body and the signature header as a
// response brings them. Only the key's own signature over exactly these bytes is taken.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <QByteArray>
#include <QString>

#include "fuzz_support.h"
#include "list/listsignature.h"

// The private half of the key the build embedded, made at build time (never committed).
#ifndef VEXTRA_FUZZ_LIST_PRIVATE_KEY
#error "the build names the fuzzing key"
#endif

namespace {

EVP_PKEY* privateKey() {
    static EVP_PKEY* key = [] {
        FILE* file = std::fopen(VEXTRA_FUZZ_LIST_PRIVATE_KEY, "r");
        EVP_PKEY* read = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
        if (file) std::fclose(file);
        FUZZ_ASSERT(read != nullptr);
        return read;
    }();
    return key;
}

QByteArray sign(const QByteArray& message) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char signature[64];
    size_t length = sizeof(signature);
    const bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, privateKey()) == 1 &&
                    EVP_DigestSign(ctx, signature, &length,
                                   reinterpret_cast<const unsigned char*>(message.constData()),
                                   static_cast<size_t>(message.size())) == 1;
    EVP_MD_CTX_free(ctx);
    FUZZ_ASSERT(ok);
    return QByteArray(reinterpret_cast<const char*>(signature), static_cast<int>(length)).toBase64();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> pieces = splitInput(data, size, 3);
    const QByteArray version = QByteArray::fromStdString(pieces[0]);
    const QByteArray body = QByteArray::fromStdString(pieces.size() > 1 ? pieces[1] : std::string());
    const QByteArray header = QByteArray::fromStdString(pieces.size() > 2 ? pieces[2] : std::string());

    QString why;
    const bool valid = verifyListSignature(version, body, header, &why);
    FUZZ_ASSERT(valid == why.isEmpty());
    const QByteArray genuine = sign(signedListMessage(version, body));
    // A header the fuzzer made is taken only when it carries the key's signature itself.
    if (valid) FUZZ_ASSERT(QByteArray::fromBase64(header.trimmed()) == QByteArray::fromBase64(genuine));
    FUZZ_ASSERT(verifyListSignature(version, body, genuine, nullptr));
    // The same signature over one byte more is refused.
    FUZZ_ASSERT(!verifyListSignature(version, body + '\n', genuine, nullptr));
    return 0;
}
