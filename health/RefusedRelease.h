#pragma once

#include <QString>

// A release that was taken back on this installation, kept in config.ini
// ([Update] RefusedVersion, RefusedSerial) so that it is not offered again.
// A later version, or the same one signed again with a higher serial (a
// repaired release), is.
class RefusedRelease
{
public:
    // `serial` is -1 for a release nothing was signed for.
    static bool remember(const QString& configPath, const QString& version, qint64 serial);
    static bool refuses(const QString& configPath, const QString& version, qint64 serial);
};
