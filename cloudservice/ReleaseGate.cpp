#include "cloudservice/ReleaseGate.h"

#include "cloudservice/Rollout.h"

ReleaseGate::ReleaseGate(const QString& installationId, HaltedReleases::Set halted, qint64 nowMs)
    : m_installationId(installationId), m_halted(std::move(halted)), m_nowMs(nowMs)
{}

bool ReleaseGate::offers(const QString& softwareRoot, const QString& versionType,
                         const ReleaseCatalog::Release& release) const
{
    if (release.halted ||
        m_halted->contains(HaltedReleases::key(softwareRoot, versionType, release.version)))
        return false;
    const Rollout& rollout = release.rollout;
    if (!rollout.isSet() || (release.mandatory && !rollout.coversMandatory()))
        return true;
    const int share = rollout.shareAt(m_nowMs);
    if (share >= Rollout::everyone)
        return true;
    if (m_installationId.isEmpty())
        return false;
    return Rollout::bucket(m_installationId, softwareRoot, versionType, release.version) < share;
}
