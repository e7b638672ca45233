// The optional signature of the check response: when the build carries an Ed25519 public key,
// only a response whose "Domvista-Signature" header signs its version and body is used.
#pragma once

#include <QByteArray>
#include <QString>

// True when this build carries a public key, so every check response must be signed.
bool listSignatureRequired();

// Checks `signatureBase64` (the "Domvista-Signature" header) against the build's public key
// over the message: the version header's bytes, a line feed, the body's bytes. Returns true
// when it is valid; otherwise false with the reason in `why`. Always false in a keyless build.
bool verifyListSignature(const QByteArray& version, const QByteArray& body,
                         const QByteArray& signatureBase64, QString* why);

// The message that the signature covers.
inline QByteArray signedListMessage(const QByteArray& version, const QByteArray& body)
{
    return version + '\n' + body;
}
