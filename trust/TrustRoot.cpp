#include "trust/TrustRoot.h"

#include "trust/JsonFields.h"
#include "trust/SignedEnvelope.h"
#include "trust/UtcTimestamp.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

const QString TrustRoot::kPayloadType = QStringLiteral("application/vnd.vaderoru.root+json");

namespace {

QJsonArray keyList(const QVector<PublicKey>& keys)
{
    QJsonArray list;
    for (const PublicKey& key : keys)
        list.append(key.toBase64());
    return list;
}

} // namespace

QByteArray TrustRoot::toBody() const
{
    const QJsonObject body{{QStringLiteral("version"), double(version)},
                           {QStringLiteral("expires"), formatUtcTimestamp(expires)},
                           {QStringLiteral("rootKeys"), keyList(rootKeys)},
                           {QStringLiteral("releaseKeys"), keyList(releaseKeys)}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

bool TrustRoot::fromEnvelope(const SignedEnvelope& envelope, TrustRoot& root, QString& errorText)
{
    if (envelope.payloadType != kPayloadType) {
        errorText = QStringLiteral("payload type \"%1\" is not a root").arg(envelope.payloadType);
        return false;
    }
    QJsonObject body;
    TrustRoot parsed;
    if (!readObject(envelope.payload, body, errorText) ||
        !readWholeNumber(body, QStringLiteral("version"), 1, parsed.version, errorText) ||
        !readTimestamp(body, QStringLiteral("expires"), parsed.expires, errorText) ||
        !readKeys(body, QStringLiteral("rootKeys"), parsed.rootKeys, errorText) ||
        !readKeys(body, QStringLiteral("releaseKeys"), parsed.releaseKeys, errorText)) {
        errorText = QStringLiteral("root body: ") + errorText;
        return false;
    }
    root = parsed;
    return true;
}
