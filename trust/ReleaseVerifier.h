#pragma once

#include "trust/TrustVerdict.h"

#include <QByteArray>
#include <QDateTime>

class SignedEnvelope;
class SignedRelease;
class TrustRoot;

// The checks a signed root or release must pass, without any state of the
// installation: shared by the updater and the publisher's verify command.
// A body is read only after the signature over it has been verified.
class ReleaseVerifier
{
public:
    // The root as the installer pinned it: a root signed by one of its own
    // root keys.
    static TrustVerdict readPinnedRoot(const SignedEnvelope& envelope, TrustRoot& root);
    // `candidate` as the root after `current`: version current + 1, signed by
    // a root key of `current` and by one of its own.
    static TrustVerdict readNextRoot(const TrustRoot& current, const SignedEnvelope& candidate,
                                     TrustRoot& next);
    static TrustVerdict checkRootExpiry(const TrustRoot& root, const QDateTime& now);
    // Signed by a release key of `root` and not expired.
    static TrustVerdict readRelease(const TrustRoot& root, const SignedEnvelope& envelope,
                                    const QDateTime& now, SignedRelease& release);
    // A package of `length` bytes and this SHA-256 against the signed ones.
    static TrustVerdict checkPackage(qint64 signedLength, const QByteArray& signedSha256,
                                     qint64 length, const QByteArray& sha256Hex);
};
