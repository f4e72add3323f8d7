#include "trust/ReleaseVerifier.h"

#include "trust/SignedEnvelope.h"
#include "trust/SignedRelease.h"
#include "trust/TrustRoot.h"
#include "trust/UtcTimestamp.h"

TrustVerdict ReleaseVerifier::readPinnedRoot(const SignedEnvelope& envelope, TrustRoot& root)
{
    QString errorText;
    if (!TrustRoot::fromEnvelope(envelope, root, errorText))
        return TrustVerdict::failed(TrustVerdict::TrustedRoot, errorText);
    if (!envelope.isSignedByOneOf(root.rootKeys))
        return TrustVerdict::failed(
            TrustVerdict::TrustedRoot,
            QStringLiteral("root %1 is not signed by its own root keys").arg(root.version));
    return TrustVerdict();
}

TrustVerdict ReleaseVerifier::readNextRoot(const TrustRoot& current,
                                           const SignedEnvelope& candidate, TrustRoot& next)
{
    // Read before anything of it is trusted, so that a failure names the root
    // that was checked, which need not be the one expected next.
    TrustRoot claimed;
    QString errorText;
    if (!TrustRoot::fromEnvelope(candidate, claimed, errorText))
        return TrustVerdict::failed(TrustVerdict::RootRotation, errorText);
    if (!candidate.isSignedByOneOf(current.rootKeys))
        return TrustVerdict::failed(TrustVerdict::RootRotation,
                                    QStringLiteral("root %1 is not signed by a root key of root %2")
                                        .arg(claimed.version)
                                        .arg(current.version));
    const qint64 expected = current.version + 1;
    if (claimed.version != expected)
        return TrustVerdict::failed(TrustVerdict::RootRotation,
                                    QStringLiteral("root %1 follows root %2, expected root %3")
                                        .arg(claimed.version)
                                        .arg(current.version)
                                        .arg(expected));
    if (!candidate.isSignedByOneOf(claimed.rootKeys))
        return TrustVerdict::failed(
            TrustVerdict::RootRotation,
            QStringLiteral("root %1 is not signed by its own root keys").arg(claimed.version));
    next = claimed;
    return TrustVerdict();
}

TrustVerdict ReleaseVerifier::checkRootExpiry(const TrustRoot& root, const QDateTime& now)
{
    if (root.expires <= now)
        return TrustVerdict::failed(TrustVerdict::RootExpiry,
                                    QStringLiteral("root %1 expired at %2")
                                        .arg(root.version)
                                        .arg(formatUtcTimestamp(root.expires)));
    return TrustVerdict();
}

TrustVerdict ReleaseVerifier::readRelease(const TrustRoot& root, const SignedEnvelope& envelope,
                                          const QDateTime& now, SignedRelease& release)
{
    if (envelope.payloadType != SignedRelease::kPayloadType)
        return TrustVerdict::failed(
            TrustVerdict::ReleaseFormat,
            QStringLiteral("payload type \"%1\" is not a release").arg(envelope.payloadType));
    if (!envelope.isSignedByOneOf(root.releaseKeys))
        return TrustVerdict::failed(
            TrustVerdict::ReleaseSignature,
            QStringLiteral("not signed by a release key of root %1").arg(root.version));
    QString errorText;
    if (!SignedRelease::fromEnvelope(envelope, release, errorText))
        return TrustVerdict::failed(TrustVerdict::ReleaseFormat, errorText);
    if (release.expires <= now)
        return TrustVerdict::failed(TrustVerdict::ReleaseExpiry,
                                    QStringLiteral("release %1 expired at %2")
                                        .arg(release.version, formatUtcTimestamp(release.expires)));
    return TrustVerdict();
}

TrustVerdict ReleaseVerifier::checkPackage(qint64 signedLength, const QByteArray& signedSha256,
                                           qint64 length, const QByteArray& sha256Hex)
{
    if (length != signedLength)
        return TrustVerdict::failed(
            TrustVerdict::PackageLength,
            QStringLiteral("%1 bytes, signed %2").arg(length).arg(signedLength));
    if (sha256Hex != signedSha256)
        return TrustVerdict::failed(
            TrustVerdict::PackageHash,
            QStringLiteral("SHA-256 %1, signed %2")
                .arg(QString::fromLatin1(sha256Hex), QString::fromLatin1(signedSha256)));
    return TrustVerdict();
}
