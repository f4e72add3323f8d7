#include "install/InstallUndo.h"

#include "install/InstallCheckpoint.h"
#include "install/InstallJournal.h"
#include "install/SameContent.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// What a copy of platform/ leaves beside a target when it is stopped in the
// middle.
QString partialCopyOf(const QString& target)
{
    return target + QLatin1String(layout::kPartSuffix);
}

// A link goes itself, whatever it leads to, if anything.
bool removeFileIfPresent(const QString& path)
{
    const bool link = platform::isLink(path);
    if (!link && !QFileInfo(path).isFile())
        return true;
    if (link ? platform::removeLink(path) : QFile::remove(path))
        return true;
    qInfo() << QString("Update rollback failure: cannot remove %1").arg(path);
    return false;
}

bool putBack(const QString& backup, const QString& target, HeldFileWait& heldFiles)
{
    // Backups are renamed back into place, so one that is gone has been put
    // back by an undo cut short, or was never made (the journal comes before
    // the first one), and nothing is left to give back. One lost some other
    // way could never be given back either; keeping the journal for it
    // would only block every later update, which is what can still repair
    // the installation. A target that is missing was set aside and not yet
    // replaced: its backup differs from it and goes back. A backup that is a
    // link is there even when it leads nowhere.
    if (!platform::existsItself(backup))
        return true;
    // An installed file keeps the owner and mode of the one it replaced, so
    // a target with its backup's content is as good as the original (most
    // often it is the original, never reached): it is not written again.
    if (haveSameContent(backup, target))
        return removeFileIfPresent(backup);
    if (heldFiles.move(target, [&] { return platform::moveFileOver(backup, target); }).succeeded())
        return true;
    qInfo() << QString("Update rollback failure: from:%1 to:%2").arg(backup, target);
    return false;
}

} // namespace

InstallUndo::InstallUndo(const InstallJournal& journal)
    : m_journal(&journal), m_applicationDir(journal.applicationDir())
{
    for (const InstallJournal::Target& item : journal.targets())
        m_targets.append({journal.absolutePath(item.path),
                          item.backup.isEmpty() ? QString() : journal.absolutePath(item.backup)});
    for (const QString& folder : journal.folders())
        m_folders.append(journal.absolutePath(folder));
}

InstallUndo::InstallUndo(QString applicationDir, QVector<Target> targets, QStringList folders)
    : m_applicationDir(std::move(applicationDir)), m_targets(std::move(targets)),
      m_folders(std::move(folders))
{}

bool InstallUndo::run()
{
    // The old version goes back first, so that an undo cut short is not
    // taken for a committed installation at the next start.
    bool whole = !m_journal || m_journal->restoreOldVersion();
    // Added files go first: the room they free is all that putting a
    // backup back by a copy, across file systems, may need.
    whole = removeAddedFiles() && whole;
    whole = putBackReplacedFiles() && whole;
    removeAddedFolders();
    return flushTargets() && whole;
}

bool InstallUndo::removeAddedFiles()
{
    bool whole = true;
    for (const Target& item : qAsConst(m_targets)) {
        if (!item.backup.isEmpty())
            continue;
        removeFileIfPresent(partialCopyOf(item.path));
        whole = removeFileIfPresent(item.path) && whole;
        passInstallCheckpoint("rollback");
    }
    return whole;
}

bool InstallUndo::putBackReplacedFiles()
{
    bool whole = true;
    for (const Target& item : qAsConst(m_targets)) {
        if (item.backup.isEmpty())
            continue;
        removeFileIfPresent(partialCopyOf(item.path));
        whole = putBack(item.backup, item.path, m_heldFiles) && whole;
        passInstallCheckpoint("rollback");
    }
    return whole;
}

void InstallUndo::removeAddedFolders()
{
    // Deepest first; a folder that still holds something is left alone.
    for (auto folder = m_folders.crbegin(); folder != m_folders.crend(); ++folder)
        QDir().rmdir(*folder);
}

bool InstallUndo::flushTargets()
{
    QStringList restored;
    for (const Target& target : qAsConst(m_targets))
        restored.append(target.path);
    return platform::flushToDisk(m_applicationDir, restored);
}
