#include "sha256.h"

#include <openssl/evp.h>

struct Sha256::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : d(new State)
{
    EVP_DigestInit_ex(d->ctx, EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::addData(const char* data, qint64 length)
{
    EVP_DigestUpdate(d->ctx, data, size_t(length));
}

QByteArray Sha256::result()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(d->ctx, digest, &length);
    return QByteArray(reinterpret_cast<const char*>(digest), int(length));
}
