#pragma once

// The service's answer to a version check, as the update flow reads it.

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

class QJsonObject;

class VersionCheckResult
{
public:
    // Fields carry the names of the JSON members they come from.
    QString platformType;
    QString softwareRoot;
    QString version;
    QString minVersion;
    QString maxVersion;
    QString forceVersion;
    QString url;
    QString noteJson;
    bool needUpdate = false;
    bool forceUpdate = false;
    // The vendor's signed release of the offer and newer signed roots, oldest
    // first; passed on untouched to the trust checks.
    QJsonValue release = QJsonValue::Undefined;
    QJsonArray roots;

    void clear();
    // Copies the members present in `data`; a member of the wrong JSON type
    // gives an empty string or false.
    void fillFromJson(const QJsonObject& data);
    // The notes for `language` (exact member name), else the "default" ones.
    QString releaseNotes(const QString& language) const;
};
