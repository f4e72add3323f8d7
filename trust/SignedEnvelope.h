#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

class PublicKey;
class QJsonValue;
class SigningKey;

// A signed document as a DSSE envelope in JSON:
//   {"payloadType": T, "payload": base64(body),
//    "signatures": [{"keyid": K, "sig": base64(sig)}]}
// Each signature is Ed25519 over the pre-authentication encoding of type and
// body, so a body cannot be passed off under another type.
class SignedEnvelope
{
public:
    struct Signature
    {
        QString keyId;
        QByteArray bytes;
    };

    QString payloadType;
    QByteArray payload;
    QVector<Signature> signatures;

    // "DSSEv1" SP len(type) SP type SP len(body) SP body, lengths in
    // decimal bytes: exactly what is signed.
    static QByteArray preAuthEncoding(const QString& type, const QByteArray& body);

    // The envelope's shape only; nothing is verified.
    static bool fromJson(const QJsonValue& value, SignedEnvelope& envelope, QString& errorText);
    static bool readFile(const QString& path, SignedEnvelope& envelope, QString& errorText);
    QJsonObject toJson() const;
    // Replaces the file as a whole: a crash leaves the old or the new one.
    bool writeFile(const QString& path, QString& errorText) const;

    void sign(const SigningKey& key);
    // True when one of the signatures is by one of `keys` and verifies. Key
    // ids only pick the key to try; they prove nothing on their own.
    bool isSignedByOneOf(const QVector<PublicKey>& keys) const;
};
