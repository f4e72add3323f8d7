#include "trust/ReleaseTrust.h"

#include "trust/ReleaseVerifier.h"
#include "trust/Sha256.h"
#include "trust/SignedEnvelope.h"
#include "trust/SignedRelease.h"
#include "trust/TrustRoot.h"
#include "trust/TrustState.h"
#include "trust/VersionNumber.h"

#include <QDebug>
#include <QFileInfo>

namespace {

// The version a root envelope claims, before anything of it is trusted; only
// used to pass over roots the installation already has.
qint64 claimedVersion(const SignedEnvelope& envelope)
{
    TrustRoot root;
    QString ignored;
    return TrustRoot::fromEnvelope(envelope, root, ignored) ? root.version : -1;
}

} // namespace

ReleaseTrust::ReleaseTrust(const QString& folder) : m_folder(folder) {}

QString ReleaseTrust::rootPath() const
{
    return m_folder + QStringLiteral("/root.json");
}

QString ReleaseTrust::statePath() const
{
    return m_folder + QStringLiteral("/state.json");
}

bool ReleaseTrust::isConfigured() const
{
    return QFileInfo::exists(rootPath());
}

TrustVerdict ReleaseTrust::verify(const Offer& offer, const QDateTime& now, SignedRelease& release)
{
    SignedEnvelope pinned;
    TrustRoot root;
    QString errorText;
    if (!SignedEnvelope::readFile(rootPath(), pinned, errorText))
        return TrustVerdict::failed(TrustVerdict::TrustedRoot, errorText);
    TrustVerdict verdict = ReleaseVerifier::readPinnedRoot(pinned, root);
    if (verdict.passed())
        verdict = applyNewerRoots(offer.roots, root);
    if (verdict.passed())
        verdict = ReleaseVerifier::checkRootExpiry(root, now);
    if (!verdict.passed())
        return verdict;

    SignedEnvelope envelope;
    if (!SignedEnvelope::fromJson(offer.release, envelope, errorText))
        return TrustVerdict::failed(TrustVerdict::ReleaseFormat,
                                    offer.release.isUndefined() || offer.release.isNull()
                                        ? QStringLiteral("the answer carries no signed release")
                                        : errorText);
    verdict = ReleaseVerifier::readRelease(root, envelope, now, release);
    if (verdict.passed())
        verdict = checkTarget(offer, release);
    if (verdict.passed())
        verdict = recordSerial(release, envelope);
    return verdict;
}

TrustVerdict ReleaseTrust::applyNewerRoots(const QJsonArray& roots, TrustRoot& root)
{
    TrustVerdict verdict;
    const SignedEnvelope* newest = nullptr;
    QVector<SignedEnvelope> envelopes(roots.size());
    for (int i = 0; i < roots.size() && verdict.passed(); ++i) {
        QString errorText;
        if (!SignedEnvelope::fromJson(roots.at(i), envelopes[i], errorText)) {
            verdict = TrustVerdict::failed(TrustVerdict::RootRotation, errorText);
        } else if (claimedVersion(envelopes[i]) > root.version) {
            TrustRoot next;
            verdict = ReleaseVerifier::readNextRoot(root, envelopes[i], next);
            if (verdict.passed()) {
                root = next;
                newest = &envelopes[i];
            }
        }
    }
    // Every root that verified stays trusted, even when a later one did not.
    QString errorText;
    if (newest && !newest->writeFile(rootPath(), errorText))
        qInfo() << QStringLiteral("Trust: root %1 applied but not stored: %2")
                       .arg(root.version)
                       .arg(errorText);
    return verdict;
}

TrustVerdict ReleaseTrust::checkTarget(const Offer& offer, const SignedRelease& release) const
{
    if (release.softwareRoot != offer.softwareRoot || release.versionType != offer.versionType ||
        release.version != offer.offeredVersion)
        return TrustVerdict::failed(
            TrustVerdict::ReleaseTarget,
            QStringLiteral("signed for %1/%2 version %3, offered for %4/%5 version %6")
                .arg(release.softwareRoot, release.versionType, release.version, offer.softwareRoot,
                     offer.versionType, offer.offeredVersion));
    if (VersionNumber::compare(release.version, offer.installedVersion) <= 0)
        return TrustVerdict::failed(TrustVerdict::NewerVersion,
                                    QStringLiteral("version %1 is not newer than installed %2")
                                        .arg(release.version, offer.installedVersion));
    return TrustVerdict();
}

TrustVerdict ReleaseTrust::recordSerial(const SignedRelease& release,
                                        const SignedEnvelope& envelope)
{
    TrustState state;
    QString errorText;
    if (!TrustState::load(statePath(), state, errorText))
        return TrustVerdict::failed(TrustVerdict::TrustState, errorText);
    const TrustState::Seen seen = state.seen(release.softwareRoot, release.versionType);
    const QByteArray body = Sha256::hexOf(envelope.payload);
    if (release.serial < seen.serial)
        return TrustVerdict::failed(TrustVerdict::ReleaseSerial,
                                    QStringLiteral("serial %1 is below serial %2 seen before")
                                        .arg(release.serial)
                                        .arg(seen.serial));
    if (release.serial == seen.serial && body != seen.bodySha256)
        return TrustVerdict::failed(
            TrustVerdict::ReleaseSerial,
            QStringLiteral("serial %1 was seen before with other contents").arg(release.serial));
    state.record(release.softwareRoot, release.versionType, {release.serial, body});
    // Not being able to remember the serial weakens only later checks; this
    // release has passed every one of its own.
    if (!state.save(statePath(), errorText))
        qInfo() << QStringLiteral("Trust: serial %1 not recorded: %2")
                       .arg(release.serial)
                       .arg(errorText);
    return TrustVerdict();
}
