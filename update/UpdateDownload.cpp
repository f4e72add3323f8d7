#include "update/Update.h"

#include "download/DownloadFileNet.h"
#include "trust/SignedRelease.h"

#include <QCoreApplication>
#include <QDebug>
#include <QUrl>

#include <cstdlib>
#include <limits>

namespace {

// The update folder also holds the work folders of the installation; a
// package must neither be a folder nor share their names.
QString packageFileName(const QUrl& url)
{
    const QString name = url.fileName(QUrl::FullyDecoded);
    if (name.isEmpty() || name == "temp" || name == "backup")
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
    return QCoreApplication::applicationDirPath() + "/downloads" + relative;
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
    const QUrl url(versionInfo.url, QUrl::TolerantMode);
    if (!url.isValid()) {
        qInfo() << QString("Update: %1").arg(QString::fromUtf8("下载url不正确"));
        if (updateMode)
            restartMainProgram();
        std::exit(0);
    }
    setDownloadState(true);
    qInfo() << QString("Update: %1 %2").arg(QString::fromUtf8("开始下载更新包"), versionInfo.url);
    packagePath = downloadsPath("/update/" + packageFileName(url));

    DownloadFileNet download;
    connect(&download, &DownloadFileNet::downloadProgress, this, &Update::networkReplyProgress);
    connect(this, &Update::signalCancelUpdate, &download, &DownloadFileNet::cancelDownload);
    download.setLabelText(localText(""));
    download.setFilePath(packagePath);
    download.setShowProgress(false);
    if (m_signedRelease)
        download.setExpectedContent(m_signedRelease->packageLength, m_signedRelease->packageSha256);
    download.download(url);

    // A package that is not exactly what was signed never reaches the
    // installation, which is what stops the main program.
    if (download.failure().isEmpty())
        installPackage();
    else
        qInfo() << QString("Update: %1").arg(QString::fromUtf8("下载更新包失败"));
    setDownloadState(false);
}

void Update::networkReplyProgress(qint64 bytesRead, qint64 totalBytes)
{
    const int shift = progressShift(totalBytes);
    ui.progressBar->setMaximum(int(totalBytes >> shift));
    ui.progressBar->setValue(int(bytesRead >> shift));
    ui.lb_total->setText(QString("%1: %2").arg(localText("Total size"), formatSize(totalBytes)));
    ui.lb_download->setText(QString("%1: %2").arg(localText("Downloaded"), formatSize(bytesRead)));
}
