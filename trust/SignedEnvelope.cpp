#include "trust/SignedEnvelope.h"

#include "trust/Base64.h"
#include "trust/JsonFields.h"
#include "trust/PublicKey.h"
#include "trust/SigningKey.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

// Far beyond any root or release; a file or member this large is not one.
constexpr qint64 kMaxEnvelopeBytes = 1024 * 1024;

bool readSignature(const QJsonValue& value, SignedEnvelope::Signature& signature)
{
    const QJsonObject object = value.toObject();
    signature.keyId = object.value(QStringLiteral("keyid")).toString();
    return value.isObject() && !signature.keyId.isEmpty() &&
           decodeCanonicalBase64(object.value(QStringLiteral("sig")).toString(), signature.bytes);
}

} // namespace

QByteArray SignedEnvelope::preAuthEncoding(const QString& type, const QByteArray& body)
{
    const QByteArray typeBytes = type.toUtf8();
    return "DSSEv1 " + QByteArray::number(typeBytes.size()) + ' ' + typeBytes + ' ' +
           QByteArray::number(body.size()) + ' ' + body;
}

bool SignedEnvelope::fromJson(const QJsonValue& value, SignedEnvelope& envelope, QString& errorText)
{
    const QJsonObject object = value.toObject();
    SignedEnvelope parsed;
    QString payloadText;
    if (!value.isObject()) {
        errorText = QStringLiteral("not a signed envelope: not a JSON object");
        return false;
    }
    if (!readNonEmptyString(object, QStringLiteral("payloadType"), parsed.payloadType, errorText) ||
        !readNonEmptyString(object, QStringLiteral("payload"), payloadText, errorText)) {
        errorText = QStringLiteral("not a signed envelope: ") + errorText;
        return false;
    }
    if (!decodeCanonicalBase64(payloadText, parsed.payload)) {
        errorText = QStringLiteral("not a signed envelope: \"payload\" is not base64");
        return false;
    }
    const QJsonArray list = object.value(QStringLiteral("signatures")).toArray();
    for (const QJsonValue& entry : list) {
        Signature signature;
        if (!readSignature(entry, signature)) {
            errorText = QStringLiteral("not a signed envelope: a signature needs \"keyid\" and "
                                       "a base64 \"sig\"");
            return false;
        }
        parsed.signatures.append(signature);
    }
    if (parsed.signatures.isEmpty()) {
        errorText = QStringLiteral("not a signed envelope: no signatures");
        return false;
    }
    envelope = parsed;
    return true;
}

bool SignedEnvelope::readFile(const QString& path, SignedEnvelope& envelope, QString& errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonObject object;
    if (file.size() > kMaxEnvelopeBytes ||
        !readObject(file.read(kMaxEnvelopeBytes), object, errorText)) {
        errorText = QStringLiteral("%1 is not a signed envelope").arg(path);
        return false;
    }
    if (!fromJson(object, envelope, errorText)) {
        errorText = path + QStringLiteral(" is ") + errorText;
        return false;
    }
    return true;
}

QJsonObject SignedEnvelope::toJson() const
{
    QJsonArray list;
    for (const Signature& signature : signatures)
        list.append(
            QJsonObject{{QStringLiteral("keyid"), signature.keyId},
                        {QStringLiteral("sig"), QString::fromLatin1(signature.bytes.toBase64())}});
    return QJsonObject{{QStringLiteral("payloadType"), payloadType},
                       {QStringLiteral("payload"), QString::fromLatin1(payload.toBase64())},
                       {QStringLiteral("signatures"), list}};
}

bool SignedEnvelope::writeFile(const QString& path, QString& errorText) const
{
    QSaveFile file(path);
    const QByteArray json = QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        errorText = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void SignedEnvelope::sign(const SigningKey& key)
{
    signatures.append({key.publicKey().keyId(), key.sign(preAuthEncoding(payloadType, payload))});
}

bool SignedEnvelope::isSignedByOneOf(const QVector<PublicKey>& keys) const
{
    const QByteArray signedBytes = preAuthEncoding(payloadType, payload);
    for (const Signature& signature : signatures) {
        for (const PublicKey& key : keys) {
            if (key.keyId() == signature.keyId && key.verify(signedBytes, signature.bytes))
                return true;
        }
    }
    return false;
}
