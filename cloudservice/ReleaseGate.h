#pragma once

#include "cloudservice/HaltedReleases.h"
#include "cloudservice/ReleaseCatalog.h"

#include <QString>

// Whether one request may be offered a release: not halted (by the catalog
// or in the database) and inside the release's rollout for this
// installation. A release withheld is, for that answer, not in the catalog.
class ReleaseGate
{
public:
    // An empty `installationId` (an older updater) gets rolled-out releases
    // only once they reach every installation.
    ReleaseGate(const QString& installationId, HaltedReleases::Set halted, qint64 nowMs);

    bool offers(const QString& softwareRoot, const QString& versionType,
                const ReleaseCatalog::Release& release) const;

private:
    QString m_installationId;
    HaltedReleases::Set m_halted;
    qint64 m_nowMs;
};
