// Drives the installation and the recovery against a given application
// folder, as the crash tests need them in a process of their own:
//   install_driver install <application folder> <new version> [watched]
//       installs what lies unpacked in <folder>/downloads/update/temp, with a
//       step "prepared" between the comparison and the installation;
//       watched, it ends awaiting confirmation, its backups kept; a failure
//       is printed as "installation failed: <reason>"
//   install_driver watch <application folder> <main program>
//       watches the new version's first start, as the updater's watcher does
//   install_driver recover <application folder> [later]
//       what every start of the updater does first; later, as a start an
//       hour from now, when any watch's window has passed
// INSTALL_DRIVER_STOP=<step>:<n> kills the process at the n-th pass of the
// named step, the way a power cut or the task manager would.
#include "config/FileUtils.h"
#include "health/HealthWatch.h"
#include "health/WatchedInstallation.h"
#include "install/InstallCheckpoint.h"
#include "install/InstallRecovery.h"
#include "install/PackageInstaller.h"
#include "support/InstallStop.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <cstdio>

namespace {

int install(const QString& applicationDir, const QString& newVersion, bool watched)
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
    InstallJournal::Watch watch;
    watch.installedAt = QDateTime::currentDateTimeUtc();
    watch.serial = 7;
    if (watched)
        installer.awaitConfirmation(watch);
    const InstallationResult installed = installer.installAll(newVersion);
    if (!installed.installed()) {
        std::fprintf(stderr, "installation failed: %s\n", qPrintable(installed.reason));
        return 1;
    }
    if (!watched)
        removeDirectory(updateFolder);
    return 0;
}

int recover(const QString& applicationDir, bool later)
{
    const QDateTime now = QDateTime::currentDateTimeUtc().addSecs(later ? 3600 : 0);
    const WatchedInstallation::Status watched = WatchedInstallation(applicationDir).resume(now);
    if (watched == WatchedInstallation::Status::Pending ||
        watched == WatchedInstallation::Status::Failed)
        return 1;
    return InstallRecovery(applicationDir).run() ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    armInstallStop("INSTALL_DRIVER_STOP");
    const QString command = arguments.value(1);
    if (arguments.size() >= 4 && command == "install")
        return install(arguments.at(2), arguments.at(3), arguments.value(4) == "watched");
    if (arguments.size() == 4 && command == "watch")
        return HealthWatch(arguments.at(2), arguments.at(3), "general").run().status ==
                       WatchedInstallation::Status::Failed
                   ? 1
                   : 0;
    if (arguments.size() >= 3 && command == "recover")
        return recover(arguments.at(2), arguments.value(3) == "later");
    std::fputs("usage: install_driver install <folder> <version> [watched] | watch <folder> "
               "<main program> | recover <folder> [later]\n",
               stderr);
    return 2;
}
