#include "trust/SignedRelease.h"

#include "trust/JsonFields.h"
#include "trust/SignedEnvelope.h"
#include "trust/UtcTimestamp.h"

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

} // namespace

QByteArray SignedRelease::toBody() const
{
    const QJsonObject package{{QStringLiteral("name"), packageName},
                              {QStringLiteral("length"), double(packageLength)},
                              {QStringLiteral("sha256"), QString::fromLatin1(packageSha256)}};
    const QJsonObject body{{QStringLiteral("softwareRoot"), softwareRoot},
                           {QStringLiteral("versionType"), versionType},
                           {QStringLiteral("version"), version},
                           {QStringLiteral("serial"), double(serial)},
                           {QStringLiteral("expires"), formatUtcTimestamp(expires)},
                           {QStringLiteral("mandatory"), mandatory},
                           {QStringLiteral("package"), package}};
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
        !readPackage(body, parsed, errorText)) {
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
