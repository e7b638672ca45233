#include "download/sha256.h"

#include <openssl/evp.h>

// Set up at the first use only: a download without a digest never touches libcrypto.
struct Sha256::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    State() { EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr); }
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() = default;

Sha256::~Sha256() = default;

void Sha256::addData(const char* data, qint64 length)
{
    if (!d) d.reset(new State);
    EVP_DigestUpdate(d->ctx, data, size_t(length));
}

QByteArray Sha256::result()
{
    if (!d) d.reset(new State);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(d->ctx, digest, &length);
    return QByteArray(reinterpret_cast<const char*>(digest), int(length));
}
