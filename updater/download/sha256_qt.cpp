#include "download/sha256.h"

#include <QCryptographicHash>

struct Sha256::State {
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256() : d(new State) {}

Sha256::~Sha256() = default;

void Sha256::addData(const char* data, qint64 length)
{
    d->hash.addData(data, int(length));
}

QByteArray Sha256::result()
{
    return d->hash.result();
}
