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
    };

    Kind kind = Kind::Installation;
    QString reason; // for the log; shown only for a failed download
    qint64 needed = 0;
    qint64 available = 0;
    QString proxy; // "host:port"
};
