#include "service/VersionCheckResult.h"

#include <QJsonDocument>
#include <QJsonObject>

void VersionCheckResult::clear()
{
    *this = VersionCheckResult();
}

void VersionCheckResult::fillFromJson(const QJsonObject& data)
{
    const struct
    {
        const char* key;
        QString VersionCheckResult::*field;
    } strings[] = {
        {"platformType", &VersionCheckResult::platformType},
        {"softwareRoot", &VersionCheckResult::softwareRoot},
        {"version", &VersionCheckResult::version},
        {"minVersion", &VersionCheckResult::minVersion},
        {"maxVersion", &VersionCheckResult::maxVersion},
        {"forceVersion", &VersionCheckResult::forceVersion},
        {"url", &VersionCheckResult::url},
        {"noteJson", &VersionCheckResult::noteJson},
    };
    for (const auto& entry : strings) {
        const QString key = QString::fromLatin1(entry.key);
        if (data.contains(key))
            this->*entry.field = data.value(key).toString();
    }
    if (data.contains(QStringLiteral("needUpdate")))
        needUpdate = data.value(QStringLiteral("needUpdate")).toBool();
    if (data.contains(QStringLiteral("forceUpdate")))
        forceUpdate = data.value(QStringLiteral("forceUpdate")).toBool();
    if (data.contains(QStringLiteral("release")))
        release = data.value(QStringLiteral("release"));
    if (data.contains(QStringLiteral("roots")))
        roots = data.value(QStringLiteral("roots")).toArray();
}

QString VersionCheckResult::releaseNotes(const QString& language) const
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(noteJson.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || document.isNull())
        return QString();
    const QJsonObject notes = document.object();
    if (notes.contains(language))
        return notes.value(language).toString();
    return notes.value(QStringLiteral("default")).toString();
}
