#include "update/Update.h"

#include "delta/DeltaApplier.h"
#include "download/ExtractZip.h"
#include "health/HealthWatch.h"
#include "health/OutcomeRecord.h"
#include "health/WatcherLaunch.h"
#include "install/InstallRecovery.h"
#include "install/PackageInstaller.h"
#include "install/WorkFolder.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"
#include "service/OutcomeSender.h"
#include "trust/SignedRelease.h"
#include "update/UpdateFailure.h"
#include "widgets/MessageBoxDlg.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

QString applicationDir()
{
    return layout::installationDir();
}

struct ReportedFailure
{
    const char* kind;
    const char* reason;
};

// The service tells a release's own faults from the user's surroundings by
// the kind. The reason is fixed: the failure's own may name paths.
ReportedFailure reportedFailure(UpdateFailure::Kind kind)
{
    switch (kind) {
    case UpdateFailure::Kind::ProxyRefused:
        return {"download", "the proxy turned the download away"};
    case UpdateFailure::Kind::ProxyUnreachable:
        return {"download", "the proxy cannot be reached"};
    case UpdateFailure::Kind::DiskSpace:
        return {"noSpace", "not enough free space"};
    case UpdateFailure::Kind::DamagedPackage:
        return {"damagedPackage", "the package is damaged"};
    case UpdateFailure::Kind::Installation:
        return {"installation", "the files could not be put in place and were given back"};
    case UpdateFailure::Kind::WorkFolder:
        return {"installation", "the work folder cannot be made"};
    case UpdateFailure::Kind::NotWritable:
        return {"installation", "a file cannot be replaced or written"};
    case UpdateFailure::Kind::OutsideInstallation:
        return {"installation", "a file leads out of the installation"};
    case UpdateFailure::Kind::NotVerified:
        return {"notVerified", "the elevated step could not verify the release"};
    case UpdateFailure::Kind::ElevationRefused:
    case UpdateFailure::Kind::ElevationUnavailable:
        return {"installation", "administrator rights were not given"};
    case UpdateFailure::Kind::FileInUse:
        return {"installation", "a file is in use by another program"};
    default:
        return {"download", "the download failed"};
    }
}

UpdateFailure lackOfSpace(qint64 needed, qint64 available)
{
    UpdateFailure failure;
    failure.kind = UpdateFailure::Kind::DiskSpace;
    failure.reason = QString("%1 bytes needed, %2 free").arg(needed).arg(available);
    failure.needed = needed;
    failure.available = available;
    return failure;
}

InstallJournal::Watch watchOf(const SignedRelease* release)
{
    InstallJournal::Watch watch;
    watch.installedAt = QDateTime::currentDateTimeUtc();
    watch.serial = release ? release->serial : -1;
    return watch;
}

UpdateFailure::Kind failureKind(PreparationResult::Kind kind)
{
    switch (kind) {
    case PreparationResult::Kind::PackageFileMissing:
        return UpdateFailure::Kind::DamagedPackage;
    case PreparationResult::Kind::TargetNotWritable:
        return UpdateFailure::Kind::NotWritable;
    case PreparationResult::Kind::TargetOutsideInstallation:
        return UpdateFailure::Kind::OutsideInstallation;
    default:
        return UpdateFailure::Kind::Installation;
    }
}

UpdateFailure installationFailure(const InstallationResult& result)
{
    if (result.kind != InstallationResult::Kind::FileInUse)
        return UpdateFailure::of(UpdateFailure::Kind::Installation, result.reason);
    UpdateFailure failure = UpdateFailure::of(UpdateFailure::Kind::FileInUse, result.reason);
    failure.path = result.path;
    failure.holder = result.holder;
    return failure;
}

// What the installed files the package replaces take: their backups need as
// much again.
qint64 sizeOfReplacedFiles(const QVector<QString>& files)
{
    qint64 size = 0;
    for (const QString& entry : files) {
        const QFileInfo target(applicationDir() + entry);
        if (target.isFile())
            size += target.size();
    }
    return size;
}

} // namespace

void Update::installPackage()
{
    if (m_elevationNeeded) {
        installElevated();
        return;
    }
    QVector<QString> files;
    UpdateFailure failure;
    if (!prepareInstallation(files, failure)) {
        if (failure.kind == UpdateFailure::Kind::DeltaRefused)
            fallBackToFullPackage(failure.reason);
        else
            failUpdate(failure);
        return;
    }
    const bool watched = HealthWatch::windowSeconds(applicationDir()) > 0;
    if (watched)
        m_installer->awaitConfirmation(watchOf(m_signedRelease.get()));
    stopProgram(platform::logConsoleImageName());
    stopMainProgram();
    const InstallationResult installed = m_installer->installAll(versionInfo.version);
    if (!installed.installed()) {
        failUpdate(installationFailure(installed));
        return;
    }
    // The new version is in config.ini, the commit point. The backups of
    // the files it replaced stay for the watcher, which may take the new
    // version back, or, without a watch, until the next start: removing
    // them now would only keep the user waiting.
    if (watched) {
        reportOutcome("awaitingConfirmation", QString(), "installed");
        if (handOverToWatcher())
            endProcess();
    }
    reportOutcome("confirmed", QString(), "installed without a health check");
    restartMainProgram();
}

void Update::reportOutcome(const QString& outcome, const QString& kind, const QString& reason)
{
    OutcomeRecord::Entry entry;
    entry.outcome = outcome;
    entry.kind = kind;
    entry.reason = reason;
    entry.fromVersion = currentVersion;
    entry.toVersion = versionInfo.version;
    entry.decidedAt = QDateTime::currentDateTimeUtc();
    if (outcome != QLatin1String("failed"))
        entry.installedAt = entry.decidedAt;
    const QString record = layout::pathIn(applicationDir(), layout::kOutcomeRecord);
    if (!OutcomeRecord(record).add(entry))
        qInfo() << QString("Update: the outcome %1 cannot be recorded in %2").arg(outcome, record);
    // The watcher delivers what an installation began; it runs on while the
    // new version starts.
    if (outcome == QLatin1String("failed"))
        OutcomeSender::sendPending(applicationDir(), softwareRoot, versionType);
}

bool Update::handOverToWatcher()
{
    QString reason;
    if (launchWatcher(applicationDir(), softwareRoot, mainProgram, versionType, reason)) {
        qInfo() << QString("Update: the watcher starts version %1").arg(versionInfo.version);
        qInfo() << QString("Update: %1").arg(QString::fromUtf8("更新程序退出"));
        return true;
    }
    qInfo() << QString("Update: %1; the main program is started without a watch").arg(reason);
    return false;
}

// Everything that can fail without touching the installation happens here,
// while the main program still runs: a package that cannot be installed
// never stops it.
bool Update::prepareInstallation(QVector<QString>& files, UpdateFailure& problem)
{
    if (!m_installationLocked) {
        problem = UpdateFailure::of(UpdateFailure::Kind::Installation,
                                    "the installation could not be locked for this updater");
        return false;
    }
    // The backups of an installation cut short are the only good copies of
    // its files; they are given back before the work folders are cleared.
    if (!InstallRecovery(applicationDir()).run()) {
        problem = UpdateFailure::of(UpdateFailure::Kind::Installation,
                                    "an earlier installation could not be undone");
        return false;
    }
    qint64 unpacked = 0;
    if (!inspectZip(packagePath, unpacked)) {
        problem = UpdateFailure::of(UpdateFailure::Kind::DamagedPackage,
                                    "the package cannot be unpacked");
        return false;
    }
    const qint64 available = QStorageInfo(applicationDir()).bytesAvailable();
    if (unpacked > available) {
        problem = lackOfSpace(unpacked, available);
        return false;
    }
    if (!unpackPackage(files, problem))
        return false;
    if (m_deltaInUse)
        unpacked = m_deltaUnpackedBytes;
    return checkSpaceToInstall(files, unpacked, available, problem) &&
           prepareInstaller(files, problem);
}

// Finds the files that really change, while the main program still runs.
bool Update::prepareInstaller(const QVector<QString>& files, UpdateFailure& problem)
{
    m_installer = PackageInstaller::ofUnpacked(applicationDir(), files);
    const PreparationResult prepared = m_installer->prepare();
    if (prepared.ready())
        return true;
    problem = UpdateFailure::of(failureKind(prepared.kind), prepared.reason);
    problem.path = prepared.path;
    return false;
}

bool Update::unpackPackage(QVector<QString>& files, UpdateFailure& problem)
{
    const WorkFolder work(applicationDir());
    const QString tempFolder = work.unpackFolder();
    QString reason;
    if (!work.makeUnpackFolder(reason)) {
        problem = UpdateFailure::of(UpdateFailure::Kind::WorkFolder, reason);
        return false;
    }
    if (m_deltaInUse) {
        if (!applyDelta(tempFolder, problem))
            return false;
    } else if (!extractPackage(packagePath, tempFolder)) {
        problem = UpdateFailure::of(UpdateFailure::Kind::DamagedPackage, "unpacking failed");
        return false;
    }
    collectPackageFiles(tempFolder, files);
    const QString ownEntry = firstUpdaterOwnEntry(files);
    if (ownEntry.isEmpty())
        return true;
    problem = UpdateFailure::of(UpdateFailure::Kind::DamagedPackage,
                                "the package writes into the updater's work folder: " + ownEntry);
    return false;
}

bool Update::applyDelta(const QString& unpackFolder, UpdateFailure& problem)
{
    const WorkFolder work(applicationDir());
    QString reason;
    if (!work.makeDeltaFolder(reason)) {
        problem = UpdateFailure::of(UpdateFailure::Kind::WorkFolder, reason);
        return false;
    }
    if (!extractPackage(packagePath, work.deltaFolder())) {
        problem = UpdateFailure::of(UpdateFailure::Kind::DeltaRefused, "it cannot be unpacked");
        return false;
    }
    DeltaApplier applier(work.deltaFolder(), applicationDir(), unpackFolder);
    const DeltaManifest& manifest = applier.manifest();
    // The versions first: a delta for another installation is not worth patching.
    DeltaResult result = applier.readManifest();
    if (result.applied() &&
        (manifest.fromVersion != currentVersion || manifest.toVersion != versionInfo.version)) {
        problem = UpdateFailure::of(
            UpdateFailure::Kind::DeltaRefused,
            QString("it leads from %1 to %2").arg(manifest.fromVersion, manifest.toVersion));
        return false;
    }
    if (result.applied())
        result = applier.apply();
    if (!result.applied()) {
        problem = UpdateFailure::of(UpdateFailure::Kind::DeltaRefused, result.reason);
        return false;
    }
    m_deltaUnpackedBytes = 0;
    for (const DeltaManifest::File& file : manifest.files)
        m_deltaUnpackedBytes += file.size;
    qInfo() << QString("Update: the delta from %1 gives %2 changed files")
                   .arg(currentVersion)
                   .arg(manifest.files.size());
    return true;
}

// On the installation's file system backups and installed files are
// renames, which take no room beyond the unpacked files. Across two file
// systems they are copies: the backups of the files replaced, and the new
// copies beyond the room those give back.
bool Update::checkSpaceToInstall(const QVector<QString>& files, qint64 unpacked, qint64 available,
                                 UpdateFailure& problem)
{
    if (QStorageInfo(applicationDir()).device() ==
        QStorageInfo(WorkFolder(applicationDir()).path()).device())
        return true;
    const qint64 needed = unpacked + qMax(unpacked, sizeOfReplacedFiles(files));
    if (needed <= available)
        return true;
    problem = lackOfSpace(needed, available);
    return false;
}

void Update::stopMainProgram()
{
    if (mainProgram.isEmpty() || !stopProgram(mainProgram))
        return;
    qInfo() << QString("Update: the main program %1 was stopped").arg(mainProgram);
    m_mainProgramStopped = true;
}

bool Update::stopProgram(const QString& fileName)
{
    // Only the copy in this installation: a program of the same name in
    // another folder, or another user's, is none of our business.
    return platform::stopProcessesByExecutable(applicationDir() + "/" + fileName);
}

void Update::failUpdate(const UpdateFailure& failure)
{
    qInfo() << QString("Update: %1 %2").arg(QString::fromUtf8("更新失败"), failure.reason);
    WorkFolder(downloadFolder()).clearAfterFailure();
    // Cancelling is the user's own choice, not a failure to explain.
    if (failure.kind != UpdateFailure::Kind::Cancelled) {
        const ReportedFailure reported = reportedFailure(failure.kind);
        reportOutcome("failed", reported.kind, reported.reason);
        MessageBoxDlg::showInfo(localText("Error"), failureText(failure), 1024, "3", "#000000", 0,
                                localText("Confirm"));
    }
    // A forced update is offered once: it cannot be declined, so offering it
    // again would hold the user in the window.
    if (m_mainProgramStopped || versionInfo.forceUpdate)
        endOffer();
}

QString Update::failureText(const UpdateFailure& failure)
{
    switch (failure.kind) {
    case UpdateFailure::Kind::Download:
        // The box shows rich text; the reason may carry the server's words.
        return localText("Download failed: %1").arg(failure.reason.toHtmlEscaped());
    case UpdateFailure::Kind::DiskSpace:
        return localText("Not enough disk space: %1 needed, %2 free")
            .arg(formatSize(failure.needed), formatSize(failure.available));
    case UpdateFailure::Kind::DamagedPackage:
        return localText("The update package is damaged");
    case UpdateFailure::Kind::ProxyRefused:
        return proxyRefusedText(failure.proxy);
    case UpdateFailure::Kind::ProxyUnreachable:
        return proxyUnreachableText(failure.proxy);
    case UpdateFailure::Kind::WorkFolder:
        return localText("The update cannot use its work folder %1: it must be a real folder "
                         "that can be written")
            .arg(WorkFolder(applicationDir()).path().toHtmlEscaped());
    case UpdateFailure::Kind::NotWritable:
        return localText("%1 cannot be written, so the update was not installed")
            .arg(failure.path.toHtmlEscaped());
    case UpdateFailure::Kind::OutsideInstallation:
        return localText("%1 leads outside the installation, so the update was not installed")
            .arg(failure.path.toHtmlEscaped());
    case UpdateFailure::Kind::FileInUse:
        return localText("The file %1 is in use by %2, so the update was not installed")
            .arg(failure.path.toHtmlEscaped(),
                 (failure.holder.isEmpty() ? localText("another program") : failure.holder)
                     .toHtmlEscaped());
    case UpdateFailure::Kind::NotVerified:
        return localText("The update could not be verified and will not be installed");
    case UpdateFailure::Kind::ElevationRefused:
        return localText("The update needs administrator rights, which were not given, so it "
                         "was not installed");
    case UpdateFailure::Kind::ElevationUnavailable:
        return localText("The update needs administrator rights, which this computer has no way "
                         "to ask for, so it was not installed");
    case UpdateFailure::Kind::Installation:
    case UpdateFailure::Kind::Cancelled:
    case UpdateFailure::Kind::DeltaRefused:
        break;
    }
    return localText("Update failed");
}

bool Update::extractPackage(QString archivePath, QString targetFolder)
{
    // The unpacker would take a folder for an archive it cannot open; only a
    // file can be a package.
    return QFileInfo(archivePath).isFile() && extractZip(archivePath, targetFolder);
}

bool Update::collectPackageFiles(QString folder, QVector<QString>& files)
{
    return listPackageFiles(
        folder, QFileInfo(WorkFolder(applicationDir()).unpackFolder()).absoluteFilePath(), files);
}
