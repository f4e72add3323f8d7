#pragma once

#include <QString>

// How an installation ended. One that failed has been given back; a file
// that another program held past the time allowed is named, and so are the
// programs holding it, where the system names them.
struct InstallationResult
{
    enum class Kind
    {
        Installed,
        Failed,
        FileInUse
    };

    Kind kind = Kind::Installed;
    QString path;   // the file in use, absolute
    QString holder; // "Name (pid 1234)", comma-separated; empty when none is named
    QString reason; // one line for the log

    bool installed() const { return kind == Kind::Installed; }
    // For the callers that only ask whether it went through.
    explicit operator bool() const { return installed(); }

    static InstallationResult failure(const QString& reason)
    {
        return {Kind::Failed, QString(), QString(), reason};
    }
    static InstallationResult fileInUse(const QString& path, const QString& holder)
    {
        const QString named = holder.isEmpty() ? QStringLiteral("another program") : holder;
        return {Kind::FileInUse, path, holder,
                QStringLiteral("file %1 is in use by %2").arg(path, named)};
    }
};
