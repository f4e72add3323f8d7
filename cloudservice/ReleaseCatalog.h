#pragma once

#include "cloudservice/Rollout.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVector>
#include <string>

class ReleaseGate;

// The releases the service knows, per software root and version type, and the
// decision it answers a version check with.
class ReleaseCatalog
{
public:
    // A release is halted once at least `minimumInstallations` reported it
    // and `share` (hundredths of a percent) of them had it fail or taken back.
    struct HaltRule
    {
        int share = 500;
        int minimumInstallations = 20;
    };

    struct Release
    {
        QString version;
        QString url;
        QJsonObject notes; // language code -> notes, optionally "default"
        bool mandatory = false;
        QJsonObject signedRelease; // the vendor's envelope; empty when not named
        Rollout rollout;
        HaltRule halt;
        bool halted = false; // halted by hand in the catalog
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

    // Releases the gate withholds are left out, as if the catalog had none.
    Decision decide(const QString& softwareRoot, const QString& versionType,
                    const QString& installedVersion, const ReleaseGate& gate) const;
    // One character per release of the channel, '1' for offered: the
    // answer's key part beside the request body.
    std::string offerMask(const QString& softwareRoot, const QString& versionType,
                          const ReleaseGate& gate) const;
    // Some release has a rollout or is halted by hand, so answers depend on
    // more than the request body.
    bool hasGates() const { return m_hasGates; }
    const Release* find(const QString& softwareRoot, const QString& versionType,
                        const QString& version) const;
    const QHash<QString, QHash<QString, Channel>>& channels() const { return m_channels; }

    int channelCount() const;

private:
    bool parseRoots(const QJsonValue& value, const QString& folder, QString& errorText);
    bool parseSoftwareRoots(const QJsonObject& softwareRoots, const QString& folder,
                            QString& errorText);

    QHash<QString, QHash<QString, Channel>> m_channels;
    QJsonArray m_roots;
    bool m_hasGates = false;
};
