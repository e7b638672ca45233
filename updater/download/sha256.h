// SHA-256 of a stream of bytes, for the list's digests. Qt 5's own implementation manages a few
// tens of MB/s, slower than the network; where the build has OpenSSL's libcrypto, its
// (hardware-assisted) implementation is used instead: sha256_openssl.cpp, else sha256_qt.cpp.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <memory>

class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void addData(const char* data, qint64 length);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    // The digest (32 bytes) of everything added; the object is not used afterwards.
    QByteArray result();

private:
    struct State;
    std::unique_ptr<State> d;
};
