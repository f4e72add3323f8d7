#pragma once

#include <QString>

// Why an update the user started did not complete, as the one way out of a
// failed update logs it and tells the user.
struct UpdateFailure
{
    enum class Kind
    {
        Download,       // the reason is shown to the user
        DiskSpace,      // with both figures
        DamagedPackage, // the package cannot be unpacked or reaches where it must not
        Installation,   // the files could not be put in place and were given back
        ProxyRefused,   // the proxy named in `proxy` turned the download away
        ProxyUnreachable,
        WorkFolder,           // the work folder is no real folder, or cannot be made
        NotWritable,          // `path` cannot be replaced or written into
        OutsideInstallation,  // `path` leads out of the installation through a link
        Cancelled,            // by the user, who is told nothing
        DeltaRefused,         // the delta does not fit: the full package is used instead
        NotVerified,          // the elevated step refused the release or the package
        ElevationRefused,     // the user did not give administrator rights
        ElevationUnavailable, // the system has no way to ask for them
        FileInUse,            // another program, `holder`, held `path` past the wait
    };

    static UpdateFailure of(Kind kind, const QString& reason)
    {
        UpdateFailure failure;
        failure.kind = kind;
        failure.reason = reason;
        return failure;
    }

    Kind kind = Kind::Installation;
    QString reason; // for the log; shown only for a failed download
    qint64 needed = 0;
    qint64 available = 0;
    QString proxy;  // "host:port"
    QString path;   // the file or folder in the way
    QString holder; // "Name (pid 1234)", comma-separated; empty when none is named
};
