#pragma once

#include "trust/PublicKey.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

class SignedEnvelope;

// The vendor's root of trust: which keys may sign the next root and which
// may sign releases, until when. Root N+1 counts only when a root key of
// root N and one of its own root keys signed it.
class TrustRoot
{
public:
    static const QString kPayloadType;

    qint64 version = 0;
    QDateTime expires;
    QVector<PublicKey> rootKeys;
    QVector<PublicKey> releaseKeys;

    QByteArray toBody() const;
    // The body of `envelope`, which must be of the root type. Signatures are
    // checked by the caller, before it trusts anything read here.
    static bool fromEnvelope(const SignedEnvelope& envelope, TrustRoot& root, QString& errorText);
};
