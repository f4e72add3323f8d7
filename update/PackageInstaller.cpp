#include "update/PackageInstaller.h"

#include "platform/Platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

void logFailure(const char* what, const QString& from, const QString& to)
{
    qInfo() << QString("Update %1 failure: from:%2 to:%3").arg(what, from, to);
}

} // namespace

bool isUpdaterEntry(const QString& entry)
{
    return entry.contains("VaDeroru.exe") ||
           QFileInfo(entry).fileName() == platform::updaterFileName();
}

PackageInstaller::PackageInstaller(QString applicationDir, QString tempFolder, QString backupFolder)
    : m_applicationDir(std::move(applicationDir)), m_tempFolder(std::move(tempFolder)),
      m_backupFolder(std::move(backupFolder))
{}

QString PackageInstaller::targetOf(const QString& entry) const
{
    if (isUpdaterEntry(entry))
        return m_applicationDir + "/" + platform::temporaryUpdaterFileName();
    return m_applicationDir + entry;
}

void PackageInstaller::addEntry(const QString& entry)
{
    Item item;
    item.source = m_tempFolder + entry;
    item.target = targetOf(entry);
    item.backup = m_backupFolder + item.target.mid(m_applicationDir.size());
    m_items.append(item);
}

bool PackageInstaller::backUp(QString& failedPath)
{
    for (Item& item : m_items) {
        item.existed = QFileInfo(item.target).isFile();
        // Several updater entries share one target; its first backup is the
        // original.
        if (!item.existed || QFileInfo::exists(item.backup))
            continue;
        if (!makeFolderFor(item.backup) || !platform::copyFileOver(item.target, item.backup)) {
            failedPath = item.target;
            return false;
        }
    }
    // Folders made for backups are not part of the installation.
    m_addedFolders.clear();
    return true;
}

bool PackageInstaller::install()
{
    bool success = true;
    for (Item& item : m_items) {
        if (makeFolderFor(item.target) && platform::copyFileOver(item.source, item.target)) {
            item.written = true;
            continue;
        }
        logFailure("install", item.source, item.target);
        success = false;
    }
    return success;
}

void PackageInstaller::rollBack()
{
    for (const Item& item : qAsConst(m_items))
        restore(item);
    removeAddedFolders();
}

void PackageInstaller::restore(const Item& item)
{
    if (item.existed) {
        if (!platform::copyFileOver(item.backup, item.target))
            logFailure("rollback", item.backup, item.target);
        return;
    }
    if (item.written && QFileInfo::exists(item.target) && !QFile::remove(item.target))
        logFailure("rollback", item.source, item.target);
}

bool PackageInstaller::makeFolderFor(const QString& file)
{
    QStringList missing;
    for (QFileInfo folder(QFileInfo(file).path()); !folder.exists(); folder.setFile(folder.path()))
        missing.prepend(folder.filePath());
    for (const QString& folder : missing) {
        if (!QDir().mkdir(folder))
            return false;
        m_addedFolders.append(folder);
    }
    return true;
}

void PackageInstaller::removeAddedFolders()
{
    // Deepest first; a folder that still holds something is left alone.
    for (auto folder = m_addedFolders.crbegin(); folder != m_addedFolders.crend(); ++folder)
        QDir().rmdir(*folder);
    m_addedFolders.clear();
}
