#include "update/Update.h"

#include "layout/InstallationLayout.h"
#include "trust/ReleaseTrust.h"
#include "trust/SignedRelease.h"

#include <QDateTime>
#include <QDebug>

namespace {

ReleaseTrust installationTrust()
{
    return ReleaseTrust(layout::applicationPath(layout::kTrustFolder));
}

} // namespace

void Update::warnUnlessVerified() const
{
    const ReleaseTrust trust = installationTrust();
    if (!trust.isConfigured())
        qInfo() << QString("Update: %1 %2")
                       .arg(QString::fromUtf8("更新不做签名验证"),
                            "updates are not verified: no " + trust.rootPath());
}

TrustVerdict Update::verifyOffer()
{
    ReleaseTrust trust = installationTrust();
    if (!trust.isConfigured())
        return TrustVerdict();
    const ReleaseTrust::Offer offer{softwareRoot,        versionType,         currentVersion,
                                    versionInfo.version, versionInfo.release, versionInfo.roots};
    auto release = std::make_unique<SignedRelease>();
    const TrustVerdict verdict = trust.verify(offer, QDateTime::currentDateTimeUtc(), *release);
    if (!verdict.passed()) {
        qInfo()
            << QString("Update: %1 %2").arg(QString::fromUtf8("更新未通过验证"), verdict.text());
        return verdict;
    }
    // Whether the main program is stopped before the user agrees is the
    // vendor's signed word, never the unsigned answer's.
    versionInfo.forceUpdate = release->mandatory;
    m_signedRelease = std::move(release);
    return verdict;
}
