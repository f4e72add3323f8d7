#include "install/PackageInstaller.h"

#include "config/ConfigIni.h"
#include "config/FileUtils.h"
#include "install/InstallCheckpoint.h"
#include "install/InstallJournal.h"
#include "install/InstallUndo.h"
#include "install/SameContent.h"
#include "install/TargetCheck.h"
#include "install/WorkFolder.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <utility>

namespace {

void logFailure(const char* what, const QString& from, const QString& to,
                const QString& reason = QString())
{
    qInfo() << QString("Update %1 failure: from:%2 to:%3 %4").arg(what, from, to, reason).trimmed();
}

void logUpdate(const QString& text)
{
    qInfo() << QString("Update: %1").arg(text);
}

void logSkipped(const QString& source)
{
    qInfo() << QString("Update: %1 %2").arg(QString::fromUtf8("跳过"), source);
}

int depthOf(const QString& path)
{
    return path.count(QLatin1Char('/'));
}

// Nearer the package's root first, then by path: the same order whatever
// order the entries come in.
bool comesBefore(const QString& one, const QString& other)
{
    const int depth = depthOf(one);
    return depth != depthOf(other) ? depth < depthOf(other) : one < other;
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

bool isUpdaterEntry(const QString& entry)
{
    const QString name = QFileInfo(entry).fileName();
    const Qt::CaseSensitivity sameName = platform::fileNameCaseSensitivity();
    return name.compare(platform::updaterFileName(), sameName) == 0 ||
           name.compare(QLatin1String(layout::kPackagedUpdater), sameName) == 0;
}

std::unique_ptr<PackageInstaller> PackageInstaller::ofUnpacked(const QString& applicationDir,
                                                               const QVector<QString>& files)
{
    const WorkFolder work(applicationDir);
    auto installer = std::make_unique<PackageInstaller>(applicationDir, work.unpackFolder(),
                                                        work.backupFolder());
    for (const QString& entry : files)
        installer->addEntry(entry);
    return installer;
}

QString firstUpdaterOwnEntry(const QVector<QString>& entries)
{
    for (const QString& entry : entries) {
        if (layout::isUpdaterOwnPath(entry))
            return entry;
    }
    return {};
}

PackageInstaller::PackageInstaller(QString applicationDir, QString tempFolder, QString backupFolder)
    : m_applicationDir(std::move(applicationDir)), m_tempFolder(std::move(tempFolder)),
      m_backupFolder(std::move(backupFolder))
{}

QString PackageInstaller::updaterTarget() const
{
    return m_applicationDir + "/" + platform::temporaryUpdaterFileName();
}

QString PackageInstaller::targetOf(const QString& entry) const
{
    return isUpdaterEntry(entry) ? updaterTarget() : m_applicationDir + entry;
}

bool PackageInstaller::isUpdaterSlot(const QString& target) const
{
    return target.compare(updaterTarget(), platform::fileNameCaseSensitivity()) == 0;
}

void PackageInstaller::addEntry(const QString& entry)
{
    Item item;
    item.source = m_tempFolder + entry;
    item.target = targetOf(entry);
    item.backup = m_backupFolder + item.target.mid(m_applicationDir.size());
    if (isUpdaterSlot(item.target) && !takesUpdaterSlot(entry, item)) {
        logSkipped(item.source);
        return;
    }
    m_items.append(item);
}

// Whatever lies in the slot becomes the next updater, so only the updater
// takes it. A package may carry the updater in several folders; one copy
// wins, the same in whatever order they come.
bool PackageInstaller::takesUpdaterSlot(const QString& entry, const Item& item)
{
    if (!isUpdaterEntry(entry))
        return false;
    const auto claimant = std::find_if(m_items.begin(), m_items.end(), [&](const Item& other) {
        return other.target == item.target;
    });
    if (claimant == m_items.end())
        return true;
    if (!comesBefore(item.source, claimant->source))
        return false;
    logSkipped(claimant->source);
    m_items.erase(claimant);
    return true;
}

PreparationResult PackageInstaller::prepare()
{
    using Kind = PreparationResult::Kind;
    const QString journal = InstallJournal::filePathIn(m_applicationDir);
    if (QFileInfo::exists(journal))
        return PreparationResult::refusal(Kind::EarlierInstallationUnfinished, journal,
                                          "an earlier installation is unfinished");
    const auto missing = std::find_if(m_items.cbegin(), m_items.cend(), [](const Item& item) {
        return !QFileInfo(item.source).isFile();
    });
    if (missing != m_items.cend())
        return PreparationResult::refusal(Kind::PackageFileMissing, missing->source,
                                          "a package file is missing");
    dropUnchangedFiles();
    const PreparationResult replaceable = checkTargets();
    if (!replaceable.ready())
        return replaceable;
    // Leftovers would be taken for backups by a recovery.
    removeDirectory(m_backupFolder);
    if (!platform::flushToDisk(m_tempFolder, sourceFiles()))
        return PreparationResult::refusal(Kind::NotDurable, m_tempFolder,
                                          "the unpacked package could not be written to disk");
    m_prepared = true;
    return {};
}

void PackageInstaller::dropUnchangedFiles()
{
    const int total = m_items.size();
    m_items.erase(std::remove_if(m_items.begin(), m_items.end(),
                                 [this](const Item& item) { return isUnchanged(item); }),
                  m_items.end());
    logUpdate(QString::fromUtf8("有变化的文件 %1/%2").arg(m_items.size()).arg(total));
}

// Every file the installation writes, config.ini last: the main program is
// stopped only for an installation that can go through.
PreparationResult PackageInstaller::checkTargets() const
{
    TargetCheck check(m_applicationDir);
    for (const Item& item : m_items) {
        const PreparationResult result = check.target(item.target);
        if (!result.ready())
            return result;
    }
    return check.config(InstallJournal(m_applicationDir).configPath());
}

// The new updater always goes to its temporary name, which the main program
// looks for whatever it holds.
bool PackageInstaller::isUnchanged(const Item& item) const
{
    return item.target != updaterTarget() && haveSameContent(item.source, item.target);
}

bool PackageInstaller::backUp(QString& reason)
{
    noteExistingTargets();
    return setAsideExisting(reason);
}

// A link counts as it is, whether it leads to a file, a folder or nowhere:
// it is set aside and given back itself.
void PackageInstaller::noteExistingTargets()
{
    for (Item& item : m_items)
        item.existed = platform::isLink(item.target) || QFileInfo(item.target).isFile();
}

bool PackageInstaller::setAsideExisting(QString& reason)
{
    for (Item& item : m_items) {
        if (!item.existed)
            continue;
        if (!makeFolderFor(item.backup, nullptr)) {
            reason = item.target + ": no folder for its backup " + item.backup;
            return false;
        }
        const platform::FileMove moved =
            waitingOut(item, [&item] { return platform::setAside(item.target, item.backup); });
        if (!moved.succeeded()) {
            reason = item.target + ": " + moved.reason;
            return false;
        }
        item.movedAway = moved.way == platform::FileMove::Way::Renamed;
        item.backupCopied = moved.way == platform::FileMove::Way::Copied;
        passInstallCheckpoint("backup");
    }
    return true;
}

// The first file still held after the wait is the one a failure names.
platform::FileMove PackageInstaller::waitingOut(const Item& item,
                                                const std::function<platform::FileMove()>& move)
{
    const platform::FileMove moved = m_heldFiles.move(item.target, move);
    if (moved.held() && m_firstHeld.installed()) {
        const QStringList holders =
            platform::processesHolding({item.target, item.source, item.backup});
        m_firstHeld = InstallationResult::fileInUse(item.target, holders.join(", "));
        logUpdate(m_firstHeld.reason);
    }
    return moved;
}

InstallationResult PackageInstaller::failureResult() const
{
    if (!m_firstHeld.installed())
        return m_firstHeld;
    return InstallationResult::failure(
        "the files were given back after a failed move or version write");
}

// A copied backup must be on disk before the target it stands for is
// written; a renamed one is the installed file itself.
bool PackageInstaller::secureCopiedBackups() const
{
    const QStringList copies = copiedBackups();
    return copies.isEmpty() || platform::flushToDisk(m_backupFolder, copies);
}

bool PackageInstaller::install()
{
    bool success = true;
    for (Item& item : m_items) {
        QString reason;
        if (installFile(item, reason)) {
            passInstallCheckpoint("install");
            continue;
        }
        logFailure("install", item.source, item.target, reason);
        success = false;
    }
    return success;
}

bool PackageInstaller::installFile(Item& item, QString& reason)
{
    if (!makeFolderFor(item.target, &m_addedFolders)) {
        reason = "no folder for it";
        return false;
    }
    const platform::FileMove moved = waitingOut(item, [&item] {
        return platform::moveIntoPlace(item.source, item.target, replacedFileOf(item));
    });
    reason = moved.reason;
    return moved.succeeded();
}

// Where the file a target replaces is by now.
QString PackageInstaller::replacedFileOf(const Item& item)
{
    if (item.movedAway)
        return item.backup;
    return item.existed ? item.target : QString();
}

bool PackageInstaller::rollBack()
{
    QVector<InstallUndo::Target> targets;
    for (const Item& item : qAsConst(m_items))
        targets.append({item.target, item.existed ? item.backup : QString()});
    const QStringList folders = std::exchange(m_addedFolders, QStringList());
    return InstallUndo(m_applicationDir, targets, folders).run();
}

InstallationResult PackageInstaller::installAll(const QString& newVersion)
{
    // An unfinished earlier installation keeps its work: it is recovery's.
    if (!m_prepared) {
        const PreparationResult prepared = prepare();
        if (!prepared.ready()) {
            logUpdate(prepared.reason);
            return InstallationResult::failure(prepared.reason);
        }
    }
    InstallJournal journal(m_applicationDir);
    if (!startJournal(journal, newVersion))
        return InstallationResult::failure("the installation journal could not be written");
    if (!backUpDurably() || !install() || !commit(journal)) {
        giveBack(journal);
        return failureResult();
    }
    return {};
}

// Durable before the first target is set aside: a rename into the backup
// folder already changes the installation.
bool PackageInstaller::startJournal(InstallJournal& journal, const QString& newVersion)
{
    noteExistingTargets();
    if (!journalPlan(journal, newVersion) || !journal.save(InstallJournal::State::Installing)) {
        logUpdate(QString::fromUtf8("安装记录写入失败"));
        clearWork(journal);
        return false;
    }
    passInstallCheckpoint("journal");
    return true;
}

bool PackageInstaller::journalPlan(InstallJournal& journal, const QString& newVersion) const
{
    journal.setVersions(readIniFileValue(journal.configPath(), "Version", "Version", QString()),
                        newVersion);
    for (const Item& item : m_items) {
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

bool PackageInstaller::backUpDurably()
{
    QString reason;
    if (!setAsideExisting(reason) || !secureCopiedBackups()) {
        qInfo() << QString("Update backup failure: %1").arg(reason);
        return false;
    }
    passInstallCheckpoint("backedUp");
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
    // Until the watcher begins its first window, a start gives it the grace
    // from here on instead of taking the watch for abandoned.
    if (m_awaitsConfirmation)
        m_watch.until = QDateTime::currentDateTimeUtc();
    journal.setWatch(m_watch);
    if (!journal.save(m_awaitsConfirmation ? InstallJournal::State::AwaitingConfirmation
                                           : InstallJournal::State::Complete)) {
        logUpdate(QString::fromUtf8("安装记录写入失败"));
        return false;
    }
    passInstallCheckpoint("completed");
    return true;
}

void PackageInstaller::awaitConfirmation(const InstallJournal::Watch& watch)
{
    m_awaitsConfirmation = true;
    m_watch = watch;
}

void PackageInstaller::giveBack(InstallJournal& journal)
{
    // A rollback that could not give everything back keeps its journal and
    // the backups it names, so that the next start tries again.
    if (InstallUndo(journal).run())
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

QStringList PackageInstaller::sourceFiles() const
{
    QStringList files;
    for (const Item& item : m_items)
        files.append(item.source);
    return files;
}

QStringList PackageInstaller::copiedBackups() const
{
    QStringList files;
    for (const Item& item : m_items) {
        if (item.backupCopied)
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

// The folders it makes are listed in `made`, when given.
bool PackageInstaller::makeFolderFor(const QString& file, QStringList* made)
{
    QStringList missing;
    for (QFileInfo folder(QFileInfo(file).path()); !folder.exists(); folder.setFile(folder.path()))
        missing.prepend(folder.filePath());
    for (const QString& folder : missing) {
        if (!platform::makeFolder(folder))
            return false;
        if (made)
            made->append(folder);
    }
    return true;
}
