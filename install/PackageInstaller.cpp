#include "install/PackageInstaller.h"

#include "config/ConfigIni.h"
#include "config/FileUtils.h"
#include "install/InstallCheckpoint.h"
#include "install/InstallJournal.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

void logFailure(const char* what, const QString& from, const QString& to)
{
    qInfo() << QString("Update %1 failure: from:%2 to:%3").arg(what, from, to);
}

void logUpdate(const QString& text)
{
    qInfo() << QString("Update: %1").arg(text);
}

void logSkipped(const QString& source)
{
    qInfo() << QString("Update: %1 %2").arg(QString::fromUtf8("跳过"), source);
}

} // namespace

bool listPackageFiles(const QString& folder, const QString& base, QVector<QString>& files)
{
    if (folder.isEmpty())
        return false;
    QDir dir(folder);
    if (!dir.exists())
        return true;
    dir.setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    const QFileInfoList entries = dir.entryInfoList();
    for (const QFileInfo& entry : entries) {
        if (entry.isFile()) {
            files.append(entry.absoluteFilePath().remove(base));
            continue;
        }
        if (!listPackageFiles(entry.absoluteFilePath(), base, files))
            return false;
    }
    return true;
}

bool isUpdaterExecutable(const QString& entry)
{
    const QString name = QFileInfo(entry).fileName();
    return name == platform::updaterFileName() || name == "VaDeroru.exe";
}

bool isUpdaterEntry(const QString& entry)
{
    return entry.contains("VaDeroru.exe") || isUpdaterExecutable(entry);
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
    if (isUpdaterEntry(entry) && !takesUpdaterSlot(item)) {
        logSkipped(item.source);
        return;
    }
    m_items.append(item);
}

// Several entries may claim the new updater's place (a configuration file
// named after it, say). The updater's own executable keeps it, so a file
// that sorts after it can never turn the next updater into something else.
bool PackageInstaller::takesUpdaterSlot(const Item& item)
{
    const auto claimant = std::find_if(m_items.begin(), m_items.end(), [&](const Item& other) {
        return other.target == item.target;
    });
    if (claimant == m_items.end())
        return true;
    if (!isUpdaterExecutable(item.source) || isUpdaterExecutable(claimant->source))
        return false;
    logSkipped(claimant->source);
    m_items.erase(claimant);
    return true;
}

bool PackageInstaller::backUp(QString& failedPath)
{
    for (Item& item : m_items) {
        item.existed = QFileInfo(item.target).isFile();
        // Several updater entries share one target; its first backup is the
        // original.
        if (!item.existed || QFileInfo::exists(item.backup))
            continue;
        if (!makeFolderFor(item.backup) || !platform::copyFileExactly(item.target, item.backup)) {
            failedPath = item.target;
            return false;
        }
        passInstallCheckpoint("backup");
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
            passInstallCheckpoint("install");
            continue;
        }
        logFailure("install", item.source, item.target);
        success = false;
    }
    return success;
}

bool PackageInstaller::rollBack()
{
    const QSet<QString> written = writtenTargets();
    // Added files go first: the room they free is all that putting a
    // backup back by a copy, across file systems, may need.
    bool whole = removeAddedFiles(written);
    whole = putBackReplacedFiles(written) && whole;
    removeAddedFolders();
    return whole;
}

QSet<QString> PackageInstaller::writtenTargets() const
{
    QSet<QString> targets;
    for (const Item& item : m_items) {
        if (item.written)
            targets.insert(item.target);
    }
    return targets;
}

// Several entries may share a target; each target is handled once.
bool PackageInstaller::removeAddedFiles(QSet<QString> written)
{
    bool whole = true;
    for (const Item& item : qAsConst(m_items)) {
        if (item.existed || !written.remove(item.target))
            continue;
        if (QFileInfo::exists(item.target) && !QFile::remove(item.target)) {
            logFailure("rollback", item.source, item.target);
            whole = false;
        }
        passInstallCheckpoint("rollback");
    }
    return whole;
}

bool PackageInstaller::putBackReplacedFiles(QSet<QString> written)
{
    bool whole = true;
    for (const Item& item : qAsConst(m_items)) {
        if (!item.existed || !written.remove(item.target))
            continue;
        if (!platform::moveFileOver(item.backup, item.target)) {
            logFailure("rollback", item.backup, item.target);
            whole = false;
        }
        passInstallCheckpoint("rollback");
    }
    return whole;
}

bool PackageInstaller::installAll(const QString& newVersion)
{
    InstallJournal journal(m_applicationDir);
    QString failedPath;
    if (!backUp(failedPath)) {
        qInfo() << QString("Update backup failure: %1").arg(failedPath);
        clearWork(journal);
        return false;
    }
    if (!journalPlan(journal, newVersion) || !secureBackups(journal)) {
        logUpdate(QString::fromUtf8("安装记录写入失败"));
        clearWork(journal);
        return false;
    }
    if (install() && commit(journal))
        return true;
    giveBack(journal);
    return false;
}

bool PackageInstaller::journalPlan(InstallJournal& journal, const QString& newVersion) const
{
    journal.setVersions(readIniFileValue(journal.configPath(), "Version", "Version", QString()),
                        newVersion);
    QSet<QString> journaled;
    for (const Item& item : m_items) {
        // Several updater entries share one target.
        if (journaled.contains(item.target))
            continue;
        journaled.insert(item.target);
        if (!journal.addTarget(item.target, item.existed ? item.backup : QString()))
            return false;
    }
    const QStringList folders = plannedFolders();
    for (const QString& folder : folders) {
        if (!journal.addFolder(folder))
            return false;
    }
    return true;
}

QStringList PackageInstaller::plannedFolders() const
{
    QStringList planned;
    QSet<QString> seen;
    for (const Item& item : m_items) {
        QStringList missing;
        for (QFileInfo folder(QFileInfo(item.target).path()); !folder.exists();
             folder.setFile(folder.path()))
            missing.prepend(folder.filePath());
        for (const QString& folder : qAsConst(missing)) {
            if (!seen.contains(folder)) {
                seen.insert(folder);
                planned.append(folder);
            }
        }
    }
    return planned;
}

// The journal may only appear once every backup it names is on disk.
bool PackageInstaller::secureBackups(InstallJournal& journal)
{
    if (!platform::flushToDisk(m_applicationDir, backupFiles()))
        return false;
    if (!journal.save(InstallJournal::State::Installing))
        return false;
    passInstallCheckpoint("journal");
    return true;
}

bool PackageInstaller::commit(InstallJournal& journal)
{
    if (!platform::flushToDisk(m_applicationDir, targetFiles())) {
        logUpdate(QString::fromUtf8("同步到磁盘失败"));
        return false;
    }
    passInstallCheckpoint("installed");
    if (!journal.recordNewVersion()) {
        logUpdate(QString::fromUtf8("版本写入失败"));
        return false;
    }
    passInstallCheckpoint("committed");
    if (!journal.save(InstallJournal::State::Complete)) {
        logUpdate(QString::fromUtf8("安装记录写入失败"));
        return false;
    }
    passInstallCheckpoint("completed");
    return true;
}

void PackageInstaller::giveBack(InstallJournal& journal)
{
    // The old version goes back first: a config.ini that names the new one
    // tells the next start that every file is new.
    const bool versionRestored = journal.restoreOldVersion();
    const bool whole = rollBack() && versionRestored;
    // A rollback that could not give everything back keeps its journal and
    // the backups it names, so that the next start tries again.
    if (whole && platform::flushToDisk(m_applicationDir, targetFiles()))
        clearWork(journal);
}

// Only while nothing in the installation depends on them. The journal goes
// last: a crash before it leaves a recovery that finds every backup gone,
// which it takes for put back, and clears the rest.
void PackageInstaller::clearWork(InstallJournal& journal)
{
    removeDirectory(m_backupFolder);
    removeDirectory(m_tempFolder);
    journal.remove();
}

QStringList PackageInstaller::backupFiles() const
{
    QStringList files;
    for (const Item& item : m_items) {
        if (item.existed)
            files.append(item.backup);
    }
    return files;
}

QStringList PackageInstaller::targetFiles() const
{
    QStringList files;
    for (const Item& item : m_items)
        files.append(item.target);
    return files;
}

bool PackageInstaller::makeFolderFor(const QString& file)
{
    QStringList missing;
    for (QFileInfo folder(QFileInfo(file).path()); !folder.exists(); folder.setFile(folder.path()))
        missing.prepend(folder.filePath());
    for (const QString& folder : missing) {
        if (!platform::makeFolder(folder))
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
