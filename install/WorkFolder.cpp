#include "install/WorkFolder.h"

#include "config/FileUtils.h"
#include "install/HeldFileWait.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

QString nameOf(const char* relative)
{
    return QFileInfo(QLatin1String(relative)).fileName();
}

bool isDownloadPart(const QString& fileName)
{
    return fileName.endsWith(QLatin1String(layout::kDownloadPartSuffix)) ||
           fileName.endsWith(QLatin1String(layout::kDownloadRecordSuffix));
}

} // namespace

WorkFolder::WorkFolder(QString applicationDir) : m_applicationDir(std::move(applicationDir)) {}

QString WorkFolder::path() const
{
    return layout::pathIn(m_applicationDir, layout::kWorkFolder);
}

QString WorkFolder::unpackFolder() const
{
    return layout::pathIn(m_applicationDir, layout::kUnpackFolder);
}

QString WorkFolder::backupFolder() const
{
    return layout::pathIn(m_applicationDir, layout::kBackupFolder);
}

QString WorkFolder::watcherFolder() const
{
    return layout::pathIn(m_applicationDir, layout::kWatcherFolder);
}

QString WorkFolder::deltaFolder() const
{
    return layout::pathIn(m_applicationDir, layout::kDeltaFolder);
}

bool WorkFolder::isReservedName(const QString& fileName)
{
    for (const char* path :
         {layout::kUnpackFolder, layout::kBackupFolder, layout::kJournal, layout::kWatcherFolder,
          layout::kDeltaFolder, layout::kReleaseDocument, layout::kTakenPackage}) {
        if (fileName.compare(nameOf(path), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool WorkFolder::make(QString& reason) const
{
    // The downloads folder above is the installation's, which may put it on
    // another drive through a link of its own.
    QDir().mkpath(QFileInfo(path()).path());
    return makeReal(path(), reason);
}

bool WorkFolder::makeUnpackFolder(QString& reason) const
{
    clearUnpacked();
    return make(reason) && makeReal(unpackFolder(), reason);
}

bool WorkFolder::makeDeltaFolder(QString& reason) const
{
    removeDirectory(deltaFolder());
    return make(reason) && makeReal(deltaFolder(), reason);
}

bool WorkFolder::makeWatcherFolder(QString& reason) const
{
    removeDirectory(watcherFolder());
    return make(reason) && makeReal(watcherFolder(), reason);
}

bool WorkFolder::makeReal(const QString& folder, QString& reason) const
{
    if (platform::isLink(folder)) {
        qInfo()
            << QString("Update: a link in the place of the work folder %1 is removed").arg(folder);
        platform::removeLink(folder);
    }
    if (!QFileInfo(folder).isDir() && !platform::makeFolder(folder)) {
        reason = folder + " cannot be made";
        return false;
    }
    if (platform::isLink(folder) || !QFileInfo(folder).isDir()) {
        reason = folder + " is not a real folder";
        return false;
    }
    return true;
}

void WorkFolder::dropPartsExcept(const QString& packageFileName) const
{
    const QDir work(path());
    const QStringList parts =
        work.entryList({QLatin1Char('*') + QLatin1String(layout::kDownloadPartSuffix),
                        QLatin1Char('*') + QLatin1String(layout::kDownloadRecordSuffix)},
                       QDir::Files | QDir::Hidden);
    for (const QString& part : parts) {
        if (!part.startsWith(packageFileName + QLatin1String(layout::kDownloadPartSuffix)))
            QFile::remove(work.filePath(part));
    }
}

void WorkFolder::clearUnpacked() const
{
    removeDirectory(unpackFolder());
    removeDirectory(deltaFolder());
    removeDirectory(backupFolder());
}

void WorkFolder::clearAfterFailure() const
{
    // Whatever a link in its place points to is not ours to clear.
    if (platform::removeLink(path()))
        return;
    const bool undoPending = QFileInfo::exists(layout::pathIn(m_applicationDir, layout::kJournal));
    const QFileInfoList entries =
        QDir(path()).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (keepsAfterFailure(entry.fileName(), undoPending))
            continue;
        // A link to a folder goes as a link.
        if (entry.isDir())
            removeDirectory(entry.absoluteFilePath());
        else
            QFile::remove(entry.absoluteFilePath());
    }
    QDir().rmdir(path());
}

bool WorkFolder::keepsAfterFailure(const QString& fileName, bool undoPending) const
{
    return isDownloadPart(fileName) || (undoPending && (fileName == nameOf(layout::kJournal) ||
                                                        fileName == nameOf(layout::kBackupFolder)));
}

// A scanner, or another updater, reading a file in it keeps Windows from
// removing that file or its folder for a moment.
void WorkFolder::clearAll() const
{
    HeldFileWait(HeldFileWait::kRecordAllowanceMs).retry(path(), [this] {
        removeDirectory(path());
        return onlyWatcherCopyLeft();
    });
}

// Windows keeps the copy a watcher runs from until it ends.
bool WorkFolder::onlyWatcherCopyLeft() const
{
    const QStringList watcherCopy{watcherFolder(),
                                  watcherFolder() + QLatin1Char('/') + platform::updaterFileName()};
    QDirIterator left(path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
    while (left.hasNext()) {
        if (!watcherCopy.contains(left.next()))
            return false;
    }
    return true;
}

void WorkFolder::dropLeftovers() const
{
    clearUnpacked();
    removeDirectory(watcherFolder());
    QDir().rmdir(path());
}
