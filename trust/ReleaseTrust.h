#pragma once

#include "trust/TrustVerdict.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>

class SignedEnvelope;
class SignedRelease;
class TrustRoot;

// An installation's trust in its vendor: the folder holding the pinned root
// ("root.json", shipped by the installer, replaced by each newer root that
// verifies) and the record of seen releases ("state.json").
class ReleaseTrust
{
public:
    // What the service offered, beside what the updater asked for.
    struct Offer
    {
        QString softwareRoot;
        QString versionType;
        QString installedVersion;
        QString offeredVersion;
        QJsonValue release; // the release envelope of the answer
        QJsonArray roots;   // newer root envelopes, oldest first
    };

    explicit ReleaseTrust(const QString& folder);

    QString rootPath() const;
    QString statePath() const;
    // True when the installation pins a root; without one nothing is verified.
    bool isConfigured() const;

    // Applies the newer roots, then checks the release against the newest
    // root and against the offer; `release` holds it when all checks pass,
    // and its serial is recorded as seen.
    TrustVerdict verify(const Offer& offer, const QDateTime& now, SignedRelease& release);

private:
    TrustVerdict applyNewerRoots(const QJsonArray& roots, TrustRoot& root);
    TrustVerdict checkTarget(const Offer& offer, const SignedRelease& release) const;
    TrustVerdict recordSerial(const SignedRelease& release, const SignedEnvelope& envelope);

    QString m_folder;
};
