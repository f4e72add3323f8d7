#include "trust/SignedRelease.h"

#include "trust/JsonFields.h"
#include "trust/SignedEnvelope.h"
#include "trust/UtcTimestamp.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

const QString SignedRelease::kPayloadType = QStringLiteral("application/vnd.vaderoru.release+json");

namespace {

bool readPackage(const QJsonObject& body, SignedRelease& release, QString& errorText)
{
    static const QRegularExpression hexDigest(QStringLiteral("^[0-9a-f]{64}$"));
    const QJsonObject package = body.value(QStringLiteral("package")).toObject();
    QString digest;
    if (!readNonEmptyString(package, QStringLiteral("name"), release.packageName, errorText) ||
        !readWholeNumber(package, QStringLiteral("length"), 0, release.packageLength, errorText) ||
        !readNonEmptyString(package, QStringLiteral("sha256"), digest, errorText) ||
        !hexDigest.match(digest).hasMatch()) {
        errorText = QStringLiteral("\"package\" must hold \"name\", \"length\" and a lower-case "
                                   "hex \"sha256\"");
        return false;
    }
    release.packageSha256 = digest.toLatin1();
    return true;
}

bool readDelta(const QJsonValue& value, SignedRelease::Delta& delta, QString& errorText)
{
    static const QRegularExpression hexDigest(QStringLiteral("^[0-9a-f]{64}$"));
    static const QRegularExpression plainName(QStringLiteral("^[^/\\\\:\\x00-\\x1f]+$"));
    const QJsonObject object = value.toObject();
    QString digest;
    if (!readNonEmptyString(object, QStringLiteral("from"), delta.from, errorText) ||
        !readNonEmptyString(object, QStringLiteral("name"), delta.name, errorText) ||
        !readWholeNumber(object, QStringLiteral("length"), 0, delta.length, errorText) ||
        !readNonEmptyString(object, QStringLiteral("sha256"), digest, errorText) ||
        !hexDigest.match(digest).hasMatch() || !plainName.match(delta.name).hasMatch() ||
        delta.name == QLatin1String("..") || delta.name == QLatin1String(".")) {
        errorText = QStringLiteral("each of \"deltas\" must hold \"from\", a plain file "
                                   "\"name\", \"length\" and a lower-case hex \"sha256\"");
        return false;
    }
    delta.sha256 = digest.toLatin1();
    return true;
}

// Optional: releases signed before deltas existed have none.
bool readDeltas(const QJsonObject& body, SignedRelease& release, QString& errorText)
{
    const QJsonValue deltas = body.value(QStringLiteral("deltas"));
    if (deltas.isUndefined())
        return true;
    if (!deltas.isArray()) {
        errorText = QStringLiteral("\"deltas\" must be an array");
        return false;
    }
    for (const QJsonValue& value : deltas.toArray()) {
        SignedRelease::Delta delta;
        if (!readDelta(value, delta, errorText))
            return false;
        release.deltas.append(delta);
    }
    return true;
}

QJsonArray deltasJson(const QVector<SignedRelease::Delta>& deltas)
{
    QJsonArray array;
    for (const SignedRelease::Delta& delta : deltas)
        array.append(QJsonObject{{QStringLiteral("from"), delta.from},
                                 {QStringLiteral("name"), delta.name},
                                 {QStringLiteral("length"), double(delta.length)},
                                 {QStringLiteral("sha256"), QString::fromLatin1(delta.sha256)}});
    return array;
}

} // namespace

const SignedRelease::Delta* SignedRelease::deltaFrom(const QString& installedVersion) const
{
    for (const Delta& delta : deltas) {
        if (delta.from == installedVersion)
            return &delta;
    }
    return nullptr;
}

QByteArray SignedRelease::toBody() const
{
    const QJsonObject package{{QStringLiteral("name"), packageName},
                              {QStringLiteral("length"), double(packageLength)},
                              {QStringLiteral("sha256"), QString::fromLatin1(packageSha256)}};
    QJsonObject body{{QStringLiteral("softwareRoot"), softwareRoot},
                     {QStringLiteral("versionType"), versionType},
                     {QStringLiteral("version"), version},
                     {QStringLiteral("serial"), double(serial)},
                     {QStringLiteral("expires"), formatUtcTimestamp(expires)},
                     {QStringLiteral("mandatory"), mandatory},
                     {QStringLiteral("package"), package}};
    // Absent rather than empty, so that releases without them read as before.
    if (!deltas.isEmpty())
        body.insert(QStringLiteral("deltas"), deltasJson(deltas));
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

bool SignedRelease::fromEnvelope(const SignedEnvelope& envelope, SignedRelease& release,
                                 QString& errorText)
{
    if (envelope.payloadType != kPayloadType) {
        errorText =
            QStringLiteral("payload type \"%1\" is not a release").arg(envelope.payloadType);
        return false;
    }
    QJsonObject body;
    SignedRelease parsed;
    if (!readObject(envelope.payload, body, errorText) ||
        !readNonEmptyString(body, QStringLiteral("softwareRoot"), parsed.softwareRoot, errorText) ||
        !readNonEmptyString(body, QStringLiteral("versionType"), parsed.versionType, errorText) ||
        !readNonEmptyString(body, QStringLiteral("version"), parsed.version, errorText) ||
        !readWholeNumber(body, QStringLiteral("serial"), 0, parsed.serial, errorText) ||
        !readTimestamp(body, QStringLiteral("expires"), parsed.expires, errorText) ||
        !readPackage(body, parsed, errorText) || !readDeltas(body, parsed, errorText)) {
        errorText = QStringLiteral("release body: ") + errorText;
        return false;
    }
    if (!body.value(QStringLiteral("mandatory")).isBool()) {
        errorText = QStringLiteral("release body: \"mandatory\" must be true or false");
        return false;
    }
    parsed.mandatory = body.value(QStringLiteral("mandatory")).toBool();
    release = parsed;
    return true;
}
