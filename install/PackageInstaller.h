#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

class InstallJournal;

// Puts the unpacked files of a package over an installation so that a failure
// at any file can be undone completely: every target that existed is backed
// up before the first one is written, and the rollback removes whatever the
// package added, folders included, then renames the backups of the targets
// it wrote back into their places. Backups are exact stand-ins for the
// originals, so a rollback needs no free space: a disk that filled up during
// the installation cannot stop it.
class PackageInstaller
{
public:
    PackageInstaller(QString applicationDir, QString tempFolder, QString backupFolder);

    // One package file, as a path below the temp folder starting with "/".
    void addEntry(const QString& entry);

    // Copies every target that exists into the backup folder, with its
    // owner and mode. Stops at the first copy that fails, naming it in
    // `failedPath`; nothing in the installation has been written by then.
    bool backUp(QString& failedPath);
    // Copies every package file to its target, going on past failures so
    // each one is logged. True when all of them landed.
    bool install();
    // Undoes install(): added files removed first, then the targets it
    // replaced put back from their backups, then the added folders removed.
    // Targets it never wrote are left alone, their backups with them.
    // Failures are logged and the rollback goes on; true when every target
    // was given back.
    bool rollBack();

    // The whole installation in an order that no crash can leave half done:
    // backUp(), then a journal of what install() will write, both durable
    // before the first target is touched; install(); then, with the
    // installation durable, `newVersion` into config.ini as the commit
    // point, and the journal marked complete. A failure at any step gives
    // the installation back and returns false; once nothing needs them,
    // the backups, the unpacked package and the journal are removed too
    // (the downloaded package is the caller's). A crash is undone by
    // InstallRecovery at the next start.
    bool installAll(const QString& newVersion);

private:
    struct Item
    {
        QString source;
        QString target;
        QString backup;
        bool existed = false;
        bool written = false;
    };

    QString targetOf(const QString& entry) const;
    bool takesUpdaterSlot(const Item& item);
    bool journalPlan(InstallJournal& journal, const QString& newVersion) const;
    QStringList plannedFolders() const;
    bool secureBackups(InstallJournal& journal);
    bool commit(InstallJournal& journal);
    void giveBack(InstallJournal& journal);
    void clearWork(InstallJournal& journal);
    QStringList backupFiles() const;
    QStringList targetFiles() const;
    QSet<QString> writtenTargets() const;
    bool makeFolderFor(const QString& file);
    bool removeAddedFiles(QSet<QString> written);
    bool putBackReplacedFiles(QSet<QString> written);
    void removeAddedFolders();

    QString m_applicationDir;
    QString m_tempFolder;
    QString m_backupFolder;
    QVector<Item> m_items;
    QStringList m_addedFolders;
};

// Appends every file below `folder` as `base` cut out of its absolute path
// ("/bin/core.so"): depth first, names in case-insensitive order, hidden
// files and folders like any other. False only for an empty folder path.
bool listPackageFiles(const QString& folder, const QString& base, QVector<QString>& files);

// True for a package file that is the updater itself, which must never be
// written over the running executable.
bool isUpdaterEntry(const QString& entry);
// True for the updater's executable itself, by its exact file name.
bool isUpdaterExecutable(const QString& entry);
