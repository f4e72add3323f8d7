#include "install/InstallRecovery.h"

#include "config/FileUtils.h"
#include "install/InstallCheckpoint.h"
#include "install/InstallJournal.h"
#include "install/InstallationLayout.h"
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

// What platform::copyFileOver leaves beside a target when it is stopped in
// the middle of a copy.
QString partialCopyOf(const QString& target)
{
    return target + QLatin1String(layout::kPartSuffix);
}

bool removeFileIfPresent(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isFile() && !info.isSymLink())
        return true;
    if (QFile::remove(path))
        return true;
    logUpdate(QString::fromUtf8("删除失败"), path);
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
    return journal.remove();
}

bool InstallRecovery::rollBack(const InstallJournal& journal)
{
    // The old version goes back first, so that a recovery cut short is not
    // taken for a committed installation at the next start.
    bool whole = journal.restoreOldVersion();
    for (int index = 0; index < journal.targets().size(); ++index) {
        whole = restoreTarget(journal, index) && whole;
        passInstallCheckpoint("restore");
    }
    removeAddedFolders(journal);
    QStringList restored;
    for (const InstallJournal::Target& target : journal.targets())
        restored.append(journal.absolutePath(target.path));
    return platform::flushToDisk(m_applicationDir, restored) && whole;
}

bool InstallRecovery::restoreTarget(const InstallJournal& journal, int index)
{
    const InstallJournal::Target& item = journal.targets().at(index);
    const QString target = journal.absolutePath(item.path);
    removeFileIfPresent(partialCopyOf(target));
    if (item.backup.isEmpty())
        return removeFileIfPresent(target);

    const QString backup = journal.absolutePath(item.backup);
    if (platform::copyFileOver(backup, target))
        return true;
    qInfo() << QString("Update rollback failure: from:%1 to:%2").arg(backup, target);
    // Without its backup the file can never be given back; keeping the
    // journal for it would only block every later update, which is what
    // can still repair the installation.
    return !QFileInfo::exists(backup);
}

void InstallRecovery::removeAddedFolders(const InstallJournal& journal)
{
    // Deepest first; a folder that still holds something is left alone.
    const QStringList& folders = journal.folders();
    for (auto folder = folders.crbegin(); folder != folders.crend(); ++folder)
        QDir().rmdir(journal.absolutePath(*folder));
}
