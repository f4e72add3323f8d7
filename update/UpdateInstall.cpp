#include "update/Update.h"

#include "config/ConfigIni.h"
#include "config/FileUtils.h"
#include "download/ExtractZip.h"
#include "install/InstallRecovery.h"
#include "install/InstallationLayout.h"
#include "install/PackageInstaller.h"
#include "platform/Platform.h"
#include "widgets/MessageBoxDlg.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <cstdlib>

void Update::installPackage()
{
    killProcess(platform::logConsoleImageName().toStdString());
    killProcess(mainProgram.toUtf8().toStdString());
    // The backups of an installation cut short are the only good copies of
    // its files; they are given back before the work folders are cleared.
    if (!InstallRecovery(QCoreApplication::applicationDirPath()).run()) {
        showUpdateFailed();
        return;
    }

    const QString tempFolder = layout::applicationPath(layout::kUnpackFolder);
    const QString backupFolder = layout::applicationPath(layout::kBackupFolder);
    removeDirectory(tempFolder);
    removeDirectory(backupFolder);
    ensurePath(tempFolder);
    ensurePath(backupFolder);

    if (!extractPackage(packagePath, tempFolder)) {
        showUpdateFailed();
        std::exit(0);
    }
    QVector<QString> files;
    if (!collectPackageFiles(tempFolder, files))
        return;
    if (!installFiles(tempFolder, files)) {
        showUpdateFailed();
        return;
    }

    // The new version is in config.ini by now; what is left is clean-up.
    removeDirectory(layout::applicationPath(layout::kWorkFolder));
    restartMainProgram();
}

bool Update::installFiles(const QString& tempFolder, const QVector<QString>& files)
{
    PackageInstaller installer(QCoreApplication::applicationDirPath(), tempFolder,
                               layout::applicationPath(layout::kBackupFolder));
    for (const QString& entry : files)
        installer.addEntry(entry);
    return installer.installAll(versionInfo.version);
}

void Update::showUpdateFailed()
{
    MessageBoxDlg::showInfo(localText("Error"), localText("Update failed"), 1024, "3", "#000000", 0,
                            localText("Confirm"));
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
        folder, QFileInfo(layout::applicationPath(layout::kUnpackFolder)).absoluteFilePath(),
        files);
}
