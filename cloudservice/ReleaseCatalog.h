#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

// The releases the service knows, per software root and version type, and the
// decision it answers a version check with.
class ReleaseCatalog
{
public:
    struct Release
    {
        QString version;
        QString url;
        QJsonObject notes; // language code -> notes, optionally "default"
        bool mandatory = false;
        QJsonObject signedRelease; // the vendor's envelope; empty when not named
    };

    struct Channel
    {
        QString minVersion; // installations below it must update
        QVector<Release> releases;
    };

    struct Decision
    {
        bool known = false; // the catalog has the software root and version type
        QString version;
        QString minVersion;
        QString maxVersion;
        QString forceVersion;
        QString url;
        QString noteJson;
        bool needUpdate = false;
        bool forceUpdate = false;
        QJsonObject signedRelease; // of the offered release, empty when it has none
        QJsonArray roots;          // envelopes of newer trust roots, oldest first
    };

    // Replaces `catalog` only when the whole text and every signed document it
    // names are valid; otherwise leaves it as it was and says what is wrong.
    // Document file names are relative to `folder`, the catalog's own.
    static bool parse(const QByteArray& json, const QString& folder, ReleaseCatalog& catalog,
                      QString& errorText);

    Decision decide(const QString& softwareRoot, const QString& versionType,
                    const QString& installedVersion) const;

    int channelCount() const;

private:
    bool parseRoots(const QJsonValue& value, const QString& folder, QString& errorText);
    bool parseSoftwareRoots(const QJsonObject& softwareRoots, const QString& folder,
                            QString& errorText);

    QHash<QString, QHash<QString, Channel>> m_channels;
    QJsonArray m_roots;
};
