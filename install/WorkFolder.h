#pragma once

#include <QString>

// The updater's work folder, downloads/update: the package and the record of
// its unfinished download, the unpacked files, the backups, the journal of
// the installation and the watcher's copy of the updater. It owns the rule
// of what survives an update that ends: the part of an unfinished download,
// so that the next attempt resumes it, and the journal with its backups
// while an undo or a confirmation still needs them; nothing else.
//
// Its folders are made as real folders. Someone who may write into the
// installation could put a link in the place of one; followed, it would
// send what the updater unpacks, sets aside and later clears to wherever it
// points. A link found there is removed, never followed.
class WorkFolder
{
public:
    explicit WorkFolder(QString applicationDir);

    QString path() const;
    QString unpackFolder() const;
    QString backupFolder() const;
    QString watcherFolder() const;
    QString deltaFolder() const;
    // True for a name the updater keeps in the work folder, which a package
    // file saved there must not take.
    static bool isReservedName(const QString& fileName);

    // Makes the work folder. False with the reason when it cannot be made, or
    // is still no real folder afterwards.
    bool make(QString& reason) const;
    // Makes an empty unpack folder, after what an earlier attempt unpacked
    // and set aside is gone.
    bool makeUnpackFolder(QString& reason) const;
    // Makes an empty folder to unpack a delta package into.
    bool makeDeltaFolder(QString& reason) const;
    // Makes an empty folder for the watcher's copy of the updater.
    bool makeWatcherFolder(QString& reason) const;

    // Parts of another package's download would never be resumed, only kept.
    void dropPartsExcept(const QString& packageFileName) const;
    // After an installation was given back: its unpacked files, delta and
    // backups.
    void clearUnpacked() const;
    // After an update that failed: all but the part of an unfinished
    // download, and the journal with its backups when an undo could not
    // finish.
    void clearAfterFailure() const;
    // When nothing of the update is needed any more. A file held for a
    // moment is waited for; what cannot be removed (on Windows, the running
    // watcher's own copy) is left for the next start.
    void clearAll() const;
    // When no installation is under way: what an update that ended left
    // behind, the watcher's copy and anything held while it was cleared.
    // The package and the part of a download stay for the update to use.
    void dropLeftovers() const;

private:
    bool makeReal(const QString& folder, QString& reason) const;
    bool keepsAfterFailure(const QString& fileName, bool undoPending) const;
    bool onlyWatcherCopyLeft() const;

    QString m_applicationDir;
};
