#pragma once

#include "install/HeldFileWait.h"

#include <QString>
#include <QStringList>
#include <QVector>

class InstallJournal;

// Gives an installation back as its journal describes it, whether it failed
// on its way, was cut short by a crash, or was committed and is taken back:
// config.ini's old version first, every file the package added removed,
// every file it replaced renamed back from its backup, the folders it made
// removed, and all of it made durable. What was never reached is left as it
// is, so an undo that is itself cut short is simply run again. A file that
// another program holds is waited for, up to ten seconds for the whole undo.
class InstallUndo
{
public:
    struct Target
    {
        QString path;
        QString backup; // empty for a file the package added
    };

    // Everything the journal names, config.ini's old version included.
    explicit InstallUndo(const InstallJournal& journal);
    // What an installer knows of itself, in absolute paths; config.ini is
    // left as it is.
    InstallUndo(QString applicationDir, QVector<Target> targets, QStringList folders);

    // True when every target is as it was and on disk; what could not be
    // given back is logged, and the rest is given back all the same.
    bool run();

private:
    bool removeAddedFiles();
    bool putBackReplacedFiles();
    void removeAddedFolders();
    bool flushTargets();

    const InstallJournal* m_journal = nullptr;
    QString m_applicationDir;
    QVector<Target> m_targets;
    QStringList m_folders;
    HeldFileWait m_heldFiles;
};
