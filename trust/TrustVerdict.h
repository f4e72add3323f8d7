#pragma once

#include <QString>

// The outcome of checking a signed release: passed, or the first check that
// failed and why. Callers branch on passed(); the text goes to the log.
class TrustVerdict
{
public:
    enum Check
    {
        Passed,
        TrustedRoot,      // the installation's root is missing, unreadable or not self-signed
        RootExpiry,       // the newest trusted root has expired
        RootRotation,     // a newer root from the answer is not properly signed
        TrustState,       // the record of seen releases cannot be read
        ReleaseFormat,    // no release in the answer, or not a release envelope
        ReleaseSignature, // not signed by a release key of the trusted root
        ReleaseExpiry,    // the release has expired
        ReleaseTarget,    // for another software root, version type or version
        NewerVersion,     // not newer than the installed version
        ReleaseSerial,    // older than a release seen before, or a reused serial
        PackageLength,    // the package is not as long as signed
        PackageHash,      // the package's SHA-256 is not the signed one
    };

    TrustVerdict() = default;
    static TrustVerdict failed(Check check, const QString& detail);

    bool passed() const { return m_check == Passed; }
    Check check() const { return m_check; }
    // "<check>: <detail>", e.g. "release expiry: expired at 2026-01-01T00:00:00Z".
    QString text() const;
    static QString checkName(Check check);

private:
    Check m_check = Passed;
    QString m_detail;
};
