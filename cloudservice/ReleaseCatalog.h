#pragma once

#include <QByteArray>
#include <QHash>
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
    };

    // Replaces `catalog` only when the whole text is valid; otherwise leaves it
    // as it was and says what is wrong.
    static bool parse(const QByteArray& json, ReleaseCatalog& catalog, QString& errorText);

    Decision decide(const QString& softwareRoot, const QString& versionType,
                    const QString& installedVersion) const;

    int channelCount() const;

private:
    QHash<QString, QHash<QString, Channel>> m_channels;
};
