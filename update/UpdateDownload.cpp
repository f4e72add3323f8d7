#include "update/Update.h"

#include "download/DownloadFileNet.h"
#include "install/WorkFolder.h"
#include "layout/InstallationLayout.h"
#include "trust/SignedRelease.h"
#include "update/UpdateFailure.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <limits>

namespace {

// The package is saved in the work folder under the last segment of its
// address, decoded, only when that is a plain file name: no separator, drive
// or control character, and none of the names the installation works with.
QString packageFileName(const QUrl& url)
{
    static const QRegularExpression unsafe(QStringLiteral("[/\\\\:\\x00-\\x1f\\x7f]"));
    const QString name = url.fileName(QUrl::FullyDecoded);
    if (name.isEmpty() || name == "." || name == ".." || name.contains(unsafe) ||
        WorkFolder::isReservedName(name))
        return "package.zip";
    return name;
}

// Packages of 2 GiB and more do not fit the bar's int range; scaling both
// figures down keeps the bar moving forward instead of wrapping negative.
int progressShift(qint64 totalBytes)
{
    int shift = 0;
    while ((totalBytes >> shift) > std::numeric_limits<int>::max())
        ++shift;
    return shift;
}

} // namespace

QString downloadsPath(QString relative)
{
    return layout::installationDir() + "/downloads" + relative;
}

QString formatSize(qint64 size)
{
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    float num = float(double(size));
    QString unit = "bytes";
    for (const char* next : units) {
        if (num < 1024.0f)
            break;
        unit = next;
        num = float(num * (1.0 / 1024.0));
    }
    return QString("%1 %2").arg(double(num), 0, 'f', 2).arg(unit);
}

void Update::slotUpdateNowClick()
{
    // The address passed with the offer; the work folder is made now, as a
    // real folder, before anything is written into it.
    const WorkFolder work(downloadFolder());
    QString reason;
    if (!work.make(reason)) {
        failUpdate(UpdateFailure::of(UpdateFailure::Kind::WorkFolder, reason));
        return;
    }
    m_deltaInUse = usesDelta();
    const QUrl url = m_deltaInUse ? deltaUrl() : packageUrl();
    setDownloadState(true);
    qInfo() << QString("Update: %1 %2")
                   .arg(QString::fromUtf8("开始下载更新包"),
                        m_deltaInUse ? url.toString() : versionInfo.url);
    packagePath = work.path() + "/" + packageFileName(url);
    work.dropPartsExcept(QFileInfo(packagePath).fileName());

    const DownloadOutcome outcome = downloadPackage(url);
    if (outcome.complete())
        installPackage();
    else if (m_deltaInUse && outcome.kind != DownloadOutcome::Kind::Cancelled)
        fallBackToFullPackage("it could not be fetched: " + outcome.reason);
    else
        failDownload(outcome);
    setDownloadState(false);
}

bool Update::usesDelta() const
{
    // The elevated step installs full packages only.
    return !m_elevationNeeded && !m_deltaRefused && m_signedRelease &&
           m_signedRelease->deltaFrom(currentVersion);
}

// Beside the full package: the signed name is a plain file name.
QUrl Update::deltaUrl() const
{
    return packageUrl().resolved(QUrl(m_signedRelease->deltaFrom(currentVersion)->name));
}

void Update::fallBackToFullPackage(const QString& reason)
{
    qInfo() << QString("Update: the delta from %1 is not used, %2; the full package is "
                       "downloaded instead")
                   .arg(currentVersion, reason);
    m_deltaRefused = true;
    WorkFolder(layout::installationDir()).clearUnpacked();
    slotUpdateNowClick();
}

DownloadOutcome Update::downloadPackage(const QUrl& url)
{
    DownloadFileNet download;
    connect(&download, &DownloadFileNet::downloadProgress, this, &Update::networkReplyProgress);
    connect(this, &Update::signalCancelUpdate, &download, &DownloadFileNet::cancelDownload);
    download.setLabelText(localText(""));
    download.setFilePath(packagePath);
    download.setShowProgress(false);
    if (m_deltaInUse) {
        const SignedRelease::Delta* delta = m_signedRelease->deltaFrom(currentVersion);
        download.setExpectedContent(delta->length, delta->sha256);
    } else if (m_signedRelease) {
        download.setExpectedContent(m_signedRelease->packageLength, m_signedRelease->packageSha256);
    }
    download.download(url);
    // A package that is not exactly what was signed never reaches the
    // installation, which is what stops the main program.
    return download.outcome();
}

namespace {

UpdateFailure::Kind failureKind(DownloadOutcome::Kind kind)
{
    switch (kind) {
    case DownloadOutcome::Kind::NoSpace:
        return UpdateFailure::Kind::DiskSpace;
    case DownloadOutcome::Kind::ProxyRefused:
        return UpdateFailure::Kind::ProxyRefused;
    case DownloadOutcome::Kind::ProxyUnreachable:
        return UpdateFailure::Kind::ProxyUnreachable;
    case DownloadOutcome::Kind::Cancelled:
        return UpdateFailure::Kind::Cancelled;
    default:
        return UpdateFailure::Kind::Download;
    }
}

} // namespace

void Update::failDownload(const DownloadOutcome& outcome)
{
    qInfo() << QString("Update: %1").arg(QString::fromUtf8("下载更新包失败"));
    UpdateFailure failure;
    failure.kind = failureKind(outcome.kind);
    failure.reason = outcome.reason;
    failure.needed = outcome.needed;
    failure.available = outcome.available;
    failure.proxy = outcome.proxy;
    failUpdate(failure);
}

void Update::networkReplyProgress(qint64 bytesRead, qint64 totalBytes)
{
    const int shift = progressShift(totalBytes);
    ui.progressBar->setMaximum(int(totalBytes >> shift));
    ui.progressBar->setValue(int(bytesRead >> shift));
    ui.lb_total->setText(QString("%1: %2").arg(localText("Total size"), formatSize(totalBytes)));
    ui.lb_download->setText(QString("%1: %2").arg(localText("Downloaded"), formatSize(bytesRead)));
}
