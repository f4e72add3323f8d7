#pragma once

#include <QString>

// How putting one file of a new version together from a delta went. Callers
// branch on kind; the reason names the file and goes to the log.
struct DeltaResult
{
    enum class Kind
    {
        Applied,
        InstalledFileChanged, // the installed file is not the one the patch was made against
        BadPatch,             // the patch cannot be decoded, or decodes to another length
        Damaged,              // the result, or a whole file, is not the signed one
        PathRefused,          // the path leads out of its folder or through a link
        FileError,            // a file cannot be read or written
    };

    Kind kind = Kind::Applied;
    QString path;   // relative to the folders, '/'-separated
    QString reason; // one line for the log, naming `path`

    bool applied() const { return kind == Kind::Applied; }

    static DeltaResult failed(Kind kind, const QString& path, const QString& what);
};
