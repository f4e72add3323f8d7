#pragma once

#include <QString>

// Whether an installation may go ahead, decided while the main program still
// runs; a refusal says which file or folder stands in the way, and why.
struct PreparationResult
{
    enum class Kind
    {
        Ready,
        PackageFileMissing,
        EarlierInstallationUnfinished,
        TargetNotWritable,
        TargetOutsideInstallation,
        NotDurable
    };

    Kind kind = Kind::Ready;
    QString path;   // the file or folder concerned, absolute
    QString reason; // one line for the log, naming `path`

    bool ready() const { return kind == Kind::Ready; }

    static PreparationResult refusal(Kind kind, const QString& path, const QString& what)
    {
        return {kind, path, what + QStringLiteral(": ") + path};
    }
};
