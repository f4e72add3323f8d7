// Installs one package the way the updater does: unpacks it, prepares the
// installation while the main program would still run (the comparison with
// the installed files, the unpacked files made durable), then installs what
// changed, the part during which the main program is stopped. Prints the
// time of each step and the peak memory.
//   install_bench ARCHIVE APPLICATION_DIR WORK_DIR
// The package is unpacked into WORK_DIR/temp and backed up into
// WORK_DIR/backup; both are left there, as the updater leaves them until the
// main program runs again.
// With MAIN_PROGRAM and NEW_MAIN, the update is watched as the updater's
// watcher does it: the package carries NEW_MAIN as MAIN_PROGRAM, and after
// the installation MAIN_PROGRAM is started and watched until it is confirmed
// or taken back (the work folder must then be APPLICATION_DIR's own).
//   install_bench ARCHIVE APPLICATION_DIR WORK_DIR [MAIN_PROGRAM NEW_MAIN]

#include "PeakRss.h"
#include "download/ExtractZip.h"
#include "health/HealthWatch.h"
#include "install/PackageInstaller.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>

namespace {

double seconds(QElapsedTimer& clock)
{
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    clock.restart();
    return elapsed;
}

// The new version's main program as the package carries it.
bool addMainProgram(const QString& newMain, const QString& tempFolder, const QString& main)
{
    const QString target = tempFolder + "/" + main;
    return QFile::copy(newMain, target) &&
           QFile::setPermissions(target, QFile::permissions(newMain));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: %s ARCHIVE APPLICATION_DIR WORK_DIR [MAIN_PROGRAM NEW_MAIN]\n",
                     argv[0]);
        return 2;
    }
    const bool watched = argc == 6;
    const QString archive = QString::fromLocal8Bit(argv[1]);
    const QString applicationDir = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
    const QString work = QDir(QString::fromLocal8Bit(argv[3])).absolutePath();
    const QString tempFolder = work + "/temp";
    const QString backupFolder = work + "/backup";
    if (!QDir().mkpath(tempFolder)) {
        std::fprintf(stderr, "cannot create the work folders below %s\n", argv[3]);
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    if (!extractZip(archive, tempFolder) ||
        (watched && !addMainProgram(QString::fromLocal8Bit(argv[5]), tempFolder,
                                    QString::fromLocal8Bit(argv[4])))) {
        std::fprintf(stderr, "unpacking failed\n");
        return 1;
    }
    QVector<QString> entries;
    listPackageFiles(tempFolder, tempFolder, entries);
    const double unpack = seconds(clock);

    PackageInstaller installer(applicationDir, tempFolder, backupFolder);
    for (const QString& entry : entries)
        installer.addEntry(entry);
    const PreparationResult prepared = installer.prepare();
    if (!prepared.ready()) {
        std::fprintf(stderr, "preparation failed: %s\n", qPrintable(prepared.reason));
        return 1;
    }
    const double prepare = seconds(clock);
    if (watched) {
        InstallJournal::Watch watch;
        watch.installedAt = QDateTime::currentDateTimeUtc();
        installer.awaitConfirmation(watch);
    }

    // From here to the end of installAll() the main program is stopped.
    const bool installed = installer.installAll("2.0").installed();
    const double install = seconds(clock);
    if (!installed)
        std::fprintf(stderr, "installation failed\n");

    std::printf("%d files, %d changed: unpack %.2f s, prepare %.2f s, install %.2f s, "
                "total %.2f s, peak RSS %ld KiB\n",
                entries.size(), installer.fileCount(), unpack, prepare, install,
                unpack + prepare + install, peakRssKiB());
    std::fflush(stdout);
    if (!installed || !watched)
        return installed ? 0 : 1;
    const HealthWatch::Result result =
        HealthWatch(applicationDir, QString::fromLocal8Bit(argv[4]), "general").run();
    return result.status == WatchedInstallation::Status::RolledBack ? 0 : 1;
}
