#pragma once

#include "install/HeldFileWait.h"
#include "install/InstallJournal.h"
#include "install/InstallationResult.h"
#include "install/PreparationResult.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// Puts the unpacked files of a package over an installation so that a failure
// at any file can be undone completely. Only files that differ from what is
// installed are touched. Each target that exists is set aside into the
// backup folder, and the unpacked file renamed into its place: no byte is
// copied where a rename reaches (the work folder lies inside the
// installation); copies remain only across file systems. The rollback
// removes whatever the package added, folders included, then renames the
// backups back into their places. Backups are exact stand-ins for the
// originals, so a rollback needs no free space: a disk that filled up during
// the installation cannot stop it. A file that another program holds open
// (Windows) is waited for, ten seconds at most for the whole installation.
class PackageInstaller
{
public:
    PackageInstaller(QString applicationDir, QString tempFolder, QString backupFolder);
    // The installer of `files`, unpacked into the work folder of
    // `applicationDir`, with its backups kept there too.
    static std::unique_ptr<PackageInstaller> ofUnpacked(const QString& applicationDir,
                                                        const QVector<QString>& files);

    // One package file, as a path below the temp folder starting with "/".
    void addEntry(const QString& entry);

    // Everything that only reads the installation, run while its program
    // still works: drops each package file whose target holds the same bytes
    // (the updater's own entry always goes to its temporary name), checks
    // that every target left and config.ini can be replaced inside the
    // installation (see TargetCheck), clears the backup folder and makes the
    // unpacked files that are left durable, so that the syncs of the
    // installation have little left to write. A refusal names the file or
    // folder in the way, and nothing is changed then: a package file is
    // missing, an earlier installation is unfinished (its journal is there),
    // a target cannot be written or leads out of the installation.
    // installAll() runs it when the caller has not.
    PreparationResult prepare();
    // The files left to install; after prepare(), those that changed.
    int fileCount() const { return m_items.size(); }

    // Sets every target that exists aside into the backup folder: renamed,
    // or across file systems copied with its owner, mode and times; a link
    // as the link itself, never what it points to. Stops at the first that
    // fails, `reason` naming it and why; rollBack() gives back what was
    // renamed by then.
    bool backUp(QString& reason);
    // Puts every package file in its target's place, going on past failures
    // so each one is logged. True when all of them landed.
    bool install();
    // Undoes backUp() and install() through the same undo as a journal on
    // disk gets (InstallUndo): added files removed first, then the backups of
    // targets that are no longer what they were put back, then the added
    // folders removed. Targets never touched are left alone; copied backups
    // of them are dropped. Failures are logged and the rollback goes on; true
    // when every target was given back.
    bool rollBack();

    // The whole installation in an order that no crash can leave half done:
    // a durable journal naming every target with its backup, before the
    // first target is set aside; backUp() (with copied backups made
    // durable); install(); then, with the installation durable, `newVersion`
    // into config.ini as the commit point, and the journal marked complete.
    // A failure at any step gives the installation back and says why, naming
    // the first file another program held past the wait, and that program;
    // once nothing needs them, the backups, the unpacked package and the
    // journal are removed too (the downloaded package is the caller's). A
    // crash is undone by InstallRecovery at the next start.
    InstallationResult installAll(const QString& newVersion);
    // Makes installAll() end awaiting confirmation, with `watch` in its
    // journal, instead of complete: the backups then stay until the health
    // watch confirms the new version or takes it back.
    void awaitConfirmation(const InstallJournal::Watch& watch);

private:
    struct Item
    {
        QString source;
        QString target;
        QString backup;
        bool existed = false;
        bool movedAway = false;    // the target is now its backup
        bool backupCopied = false; // across file systems; the target stayed
    };

    QString updaterTarget() const;
    QString targetOf(const QString& entry) const;
    bool isUpdaterSlot(const QString& target) const;
    bool takesUpdaterSlot(const QString& entry, const Item& item);
    void dropUnchangedFiles();
    PreparationResult checkTargets() const;
    bool isUnchanged(const Item& item) const;
    void noteExistingTargets();
    bool setAsideExisting(QString& reason);
    platform::FileMove waitingOut(const Item& item,
                                  const std::function<platform::FileMove()>& move);
    InstallationResult failureResult() const;
    bool secureCopiedBackups() const;
    bool installFile(Item& item, QString& reason);
    static QString replacedFileOf(const Item& item);
    bool startJournal(InstallJournal& journal, const QString& newVersion);
    bool journalPlan(InstallJournal& journal, const QString& newVersion) const;
    QStringList plannedFolders() const;
    bool backUpDurably();
    bool commit(InstallJournal& journal);
    void giveBack(InstallJournal& journal);
    void clearWork(InstallJournal& journal);
    QStringList sourceFiles() const;
    QStringList copiedBackups() const;
    QStringList targetFiles() const;
    bool makeFolderFor(const QString& file, QStringList* made);

    QString m_applicationDir;
    QString m_tempFolder;
    QString m_backupFolder;
    QVector<Item> m_items;
    QStringList m_addedFolders;
    HeldFileWait m_heldFiles;
    InstallationResult m_firstHeld; // Installed until a file stays held
    bool m_prepared = false;
    bool m_awaitsConfirmation = false;
    InstallJournal::Watch m_watch;
};

// Appends every file below `folder` as `base` cut out of its absolute path
// ("/bin/core.so"): depth first, names in case-insensitive order, hidden
// files and folders like any other. False only for an empty folder path.
bool listPackageFiles(const QString& folder, const QString& base, QVector<QString>& files);

// True for a package file that is the updater itself, in any folder of the
// package, which must never be written over the running executable: its
// file name is the updater's, as the system compares names. A file only
// named like it ("VaDeroru.exe.config") installs at its own path.
bool isUpdaterEntry(const QString& entry);

// The first package file that would land in the updater's work folder or on
// its lock, where it would replace the backups a rollback gives back; empty
// when none does. Such a package is refused.
QString firstUpdaterOwnEntry(const QVector<QString>& entries);
