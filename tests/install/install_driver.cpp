// Drives the installation and the recovery against a given application
// folder, as the crash tests need them in a process of their own:
//   install_driver install <application folder> <new version>
//       installs what lies unpacked in <folder>/downloads/update/temp, with a
//       step "prepared" between the comparison and the installation
//   install_driver recover <application folder>
// INSTALL_DRIVER_STOP=<step>:<n> kills the process at the n-th pass of the
// named step, the way a power cut or the task manager would.
#include "config/FileUtils.h"
#include "install/InstallCheckpoint.h"
#include "install/InstallRecovery.h"
#include "install/PackageInstaller.h"
#include "support/InstallStop.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

int install(const QString& applicationDir, const QString& newVersion)
{
    const QString updateFolder = applicationDir + "/downloads/update";
    const QString backupFolder = updateFolder + "/backup";
    removeDirectory(backupFolder);
    ensurePath(backupFolder);
    PackageInstaller installer(applicationDir, updateFolder + "/temp", backupFolder);
    const QString tempFolder = QDir(updateFolder + "/temp").absolutePath();
    QVector<QString> entries;
    listPackageFiles(tempFolder, tempFolder, entries);
    for (const QString& entry : entries)
        installer.addEntry(entry);
    // As the updater does: the comparison before the main program stops.
    const PreparationResult prepared = installer.prepare();
    if (!prepared.ready()) {
        std::fprintf(stderr, "%s\n", qPrintable(prepared.reason));
        return 1;
    }
    passInstallCheckpoint("prepared");
    if (!installer.installAll(newVersion))
        return 1;
    removeDirectory(updateFolder);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    armInstallStop("INSTALL_DRIVER_STOP");
    if (arguments.size() == 4 && arguments.at(1) == "install")
        return install(arguments.at(2), arguments.at(3));
    if (arguments.size() == 3 && arguments.at(1) == "recover")
        return InstallRecovery(arguments.at(2)).run() ? 0 : 1;
    std::fputs("usage: install_driver install <folder> <version> | recover <folder>\n", stderr);
    return 2;
}
