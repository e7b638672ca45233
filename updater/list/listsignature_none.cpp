// Builds without a public key: check responses are used as they come.
#include "list/listsignature.h"

bool listSignatureRequired() { return false; }

bool verifyListSignature(const QByteArray&, const QByteArray&, const QByteArray&, QString* why)
{
    if (why) *why = QStringLiteral("this build carries no public key");
    return false;
}
