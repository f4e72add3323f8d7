#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

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

    // A package of what changed since an earlier version, beside the full
    // package at the same address.
    struct Delta
    {
        QString from;
        QString name; // a plain file name
        qint64 length = 0;
        QByteArray sha256; // lower-case hex
    };
    QVector<Delta> deltas;

    // The delta that applies to `installedVersion`, or none.
    const Delta* deltaFrom(const QString& installedVersion) const;

    QByteArray toBody() const;
    // The body of `envelope`, which must be of the release type. Signatures
    // are checked by the caller, before it trusts anything read here.
    static bool fromEnvelope(const SignedEnvelope& envelope, SignedRelease& release,
                             QString& errorText);
};
