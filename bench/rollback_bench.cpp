// A watched update whose new main program crashes at every start, the way the
// updater runs it: the package unpacked into APPLICATION_DIR's work folder
// and prepared, the installation (the main program's downtime, timed), then
// the watch, which starts MAIN_PROGRAM twice, sees it crash and takes the old
// version back. NEW_MAIN is the file the package carries as MAIN_PROGRAM.
// Prints the downtime; the crash and the old version's start time
// themselves, as the programs run.
//   rollback_bench ARCHIVE APPLICATION_DIR MAIN_PROGRAM NEW_MAIN

#include "download/ExtractZip.h"
#include "health/HealthWatch.h"
#include "install/PackageInstaller.h"
#include "install/WorkFolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

bool unpack(const QString& archive, const WorkFolder& work, const QString& main,
            const QString& newMain)
{
    QString reason;
    const QString target = work.unpackFolder() + "/" + main;
    return work.makeUnpackFolder(reason) && extractZip(archive, work.unpackFolder()) &&
           QFile::copy(newMain, target) &&
           QFile::setPermissions(target, QFile::permissions(newMain));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ARCHIVE APPLICATION_DIR MAIN_PROGRAM NEW_MAIN\n", argv[0]);
        return 2;
    }
    const QStringList arguments = QCoreApplication::arguments();
    const QString applicationDir = QDir(arguments.at(2)).absolutePath();
    const WorkFolder work(applicationDir);
    if (!unpack(arguments.at(1), work, arguments.at(3), arguments.at(4))) {
        std::fprintf(stderr, "unpacking failed\n");
        return 1;
    }
    PackageInstaller installer(applicationDir, work.unpackFolder(), work.backupFolder());
    QVector<QString> entries;
    listPackageFiles(work.unpackFolder(), work.unpackFolder(), entries);
    for (const QString& entry : entries)
        installer.addEntry(entry);
    if (!installer.prepare().ready())
        return 1;
    InstallJournal::Watch watch;
    watch.installedAt = QDateTime::currentDateTimeUtc();
    installer.awaitConfirmation(watch);

    QElapsedTimer clock;
    clock.start();
    if (!installer.installAll("2.0"))
        return 1;
    std::printf("downtime %.2f s, %d files changed\n", double(clock.nsecsElapsed()) / 1e9,
                installer.fileCount());
    std::fflush(stdout);
    const HealthWatch::Result result =
        HealthWatch(applicationDir, arguments.at(3), "general").run();
    return result.status == WatchedInstallation::Status::RolledBack ? 0 : 1;
}
