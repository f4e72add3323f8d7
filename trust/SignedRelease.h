#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

class SignedEnvelope;

// What the vendor signs for one release: for which installations, which
// version, and the exact bytes of its package. The package's address is not
// part of it on purpose: mirrors are not trusted, the bytes are.
class SignedRelease
{
public:
    static const QString kPayloadType;

    QString softwareRoot;
    QString versionType;
    QString version;
    qint64 serial = 0;
    QDateTime expires;
    bool mandatory = false;
    QString packageName;
    qint64 packageLength = 0;
    QByteArray packageSha256; // lower-case hex

    QByteArray toBody() const;
    // The body of `envelope`, which must be of the release type. Signatures
    // are checked by the caller, before it trusts anything read here.
    static bool fromEnvelope(const SignedEnvelope& envelope, SignedRelease& release,
                             QString& errorText);
};
