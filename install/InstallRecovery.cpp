#include "install/InstallRecovery.h"

#include "config/FileUtils.h"
#include "install/InstallCheckpoint.h"
#include "install/InstallJournal.h"
#include "layout/InstallationLayout.h"
#include "install/SameContent.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

void logUpdate(const QString& text, const QString& detail = QString())
{
    if (detail.isEmpty())
        qInfo() << QString("Update: %1").arg(text);
    else
        qInfo() << QString("Update: %1 %2").arg(text, detail);
}

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
    logUpdate(QString::fromUtf8("删除失败"), path);
    return false;
}

bool putBack(const QString& backup, const QString& target)
{
    // Backups are renamed back into place, so one that is gone has been put
    // back by a rollback cut short, or was never made (the journal comes
    // before the first one), and nothing is left to give back. One lost some
    // other way could never be given back either; keeping the journal for it
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
    if (platform::moveFileOver(backup, target))
        return true;
    qInfo() << QString("Update rollback failure: from:%1 to:%2").arg(backup, target);
    return false;
}

} // namespace

InstallRecovery::InstallRecovery(QString applicationDir)
    : m_applicationDir(std::move(applicationDir))
{}

bool InstallRecovery::run()
{
    InstallJournal journal(m_applicationDir);
    if (!QFileInfo::exists(journal.filePath()))
        return true;
    QString error;
    if (!journal.load(error)) {
        logUpdate(QString::fromUtf8("忽略无效的安装记录"), journal.filePath() + ": " + error);
        journal.remove();
        return true;
    }
    if (journal.state() == InstallJournal::State::Complete || journal.isCommitted()) {
        removeDirectory(QFileInfo(journal.filePath()).path());
        return true;
    }
    logUpdate(QString::fromUtf8("恢复未完成的更新"));
    if (!rollBack(journal))
        return false;
    passInstallCheckpoint("recovered");
    removeWorkFolders();
    return journal.remove();
}

bool InstallRecovery::rollBack(const InstallJournal& journal)
{
    // The old version goes back first, so that a recovery cut short is not
    // taken for a committed installation at the next start.
    bool whole = journal.restoreOldVersion();
    // Added files go first: the room they free is all that putting a
    // backup back by a copy, across file systems, may need.
    whole = removeAddedFiles(journal) && whole;
    whole = putBackReplacedFiles(journal) && whole;
    removeAddedFolders(journal);
    QStringList restored;
    for (const InstallJournal::Target& target : journal.targets())
        restored.append(journal.absolutePath(target.path));
    return platform::flushToDisk(m_applicationDir, restored) && whole;
}

bool InstallRecovery::removeAddedFiles(const InstallJournal& journal)
{
    bool whole = true;
    for (const InstallJournal::Target& item : journal.targets()) {
        if (!item.backup.isEmpty())
            continue;
        const QString target = journal.absolutePath(item.path);
        removeFileIfPresent(partialCopyOf(target));
        whole = removeFileIfPresent(target) && whole;
        passInstallCheckpoint("restore");
    }
    return whole;
}

bool InstallRecovery::putBackReplacedFiles(const InstallJournal& journal)
{
    bool whole = true;
    for (const InstallJournal::Target& item : journal.targets()) {
        if (item.backup.isEmpty())
            continue;
        const QString target = journal.absolutePath(item.path);
        removeFileIfPresent(partialCopyOf(target));
        whole = putBack(journal.absolutePath(item.backup), target) && whole;
        passInstallCheckpoint("restore");
    }
    return whole;
}

// Every backup the journal names has been put back or dropped by now.
void InstallRecovery::removeWorkFolders()
{
    removeDirectory(layout::pathIn(m_applicationDir, layout::kBackupFolder));
    removeDirectory(layout::pathIn(m_applicationDir, layout::kUnpackFolder));
}

void InstallRecovery::removeAddedFolders(const InstallJournal& journal)
{
    // Deepest first; a folder that still holds something is left alone.
    const QStringList& folders = journal.folders();
    for (auto folder = folders.crbegin(); folder != folders.crend(); ++folder)
        QDir().rmdir(journal.absolutePath(*folder));
}
