#pragma once

#include <QString>

// How a download ended, as its caller branches on it and tells the user.
struct DownloadOutcome
{
    enum class Kind
    {
        Complete,
        Cancelled,
        Failed,
        NoSpace,
        ProxyRefused,     // the proxy wants credentials it was not given, or other ones
        ProxyUnreachable, // the proxy itself did not answer
    };

    Kind kind = Kind::Complete;
    QString reason;       // short enough for a message box; empty when complete
    qint64 needed = 0;    // NoSpace: the bytes the file needs
    qint64 available = 0; // NoSpace: the bytes free where it goes
    QString proxy;        // ProxyRefused, ProxyUnreachable: "host:port"

    bool complete() const { return kind == Kind::Complete; }
};
