#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// What the installation has seen of signed releases: per software root and
// version type the highest serial and the SHA-256 of the body signed under
// it, so an older release cannot be replayed and a serial cannot be reused
// for other contents.
class TrustState
{
public:
    struct Seen
    {
        qint64 serial = -1; // -1: nothing seen yet
        QByteArray bodySha256;
    };

    // A missing file is an empty state; a file that cannot be read as one is
    // an error, never taken for an empty state.
    static bool load(const QString& path, TrustState& state, QString& errorText);
    // Replaces the file as a whole: a crash leaves the old or the new one.
    bool save(const QString& path, QString& errorText) const;

    Seen seen(const QString& softwareRoot, const QString& versionType) const;
    void record(const QString& softwareRoot, const QString& versionType, const Seen& seen);

private:
    QJsonObject m_releases; // software root -> version type -> {"serial", "sha256"}
};
