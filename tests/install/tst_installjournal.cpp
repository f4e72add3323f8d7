#include "install/InstallJournal.h"
#include "install/InstallRecovery.h"
#include "platform/Platform.h"
#include "support/CloudServiceProcess.h"
#include "support/FileTree.h"
#include "support/SmallDisk.h"
#include "support/TempInstallation.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

using Snapshot = FileTree;

// An installation's tree, leaving out the update folder, whose leftovers
// after a failed installation are expected.
Snapshot snapshot(const QString& root)
{
    return snapshotTree(root, {"downloads"});
}

// What the installation's work left in the update folder.
QStringList workLeftIn(const QString& root)
{
    return QDir(root + "/downloads/update")
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// Each file of the installation (the update folder left out) → its identity.
QMap<QString, QString> inodesBelow(const QString& root)
{
    QMap<QString, QString> inodes;
    const Snapshot tree = snapshot(root);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        if (it.value() != "folder")
            inodes.insert(it.key(), fileIdentity(root + it.key()));
    }
    return inodes;
}

// The tree without the named top-level files and folders.
Snapshot without(Snapshot tree, const QStringList& names)
{
    for (auto it = tree.begin(); it != tree.end();) {
        if (names.contains(it.key().section('/', 1, 1)))
            it = tree.erase(it);
        else
            ++it;
    }
    return tree;
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void setVersion(const QString& root, const QString& version)
{
    QSettings settings(root + "/config.ini", QSettings::IniFormat);
    settings.setIniCodec("utf8");
    settings.setValue("Version/Version", version);
}

QString packageFile(const QString& root, const QString& relative)
{
    return root + "/downloads/update/temp/" + relative;
}

// A small installation at version 1.0 and, unpacked beside it, a package
// for 2.0 that replaces files, adds files in new folders, carries one file
// unchanged and a new updater while an older one already waits as
// "VaDeroru_temp".
void buildSmallCase(const QString& root)
{
    setVersion(root, "1.0");
    writeFile(root + "/a.txt", "old a");
    writeFile(root + "/bin/core.dll", "old core");
    writeFile(root + "/bin/keep.dll", "keep");
    writeFile(root + "/" + platform::temporaryUpdaterFileName(), "old updater");
    writeFile(root + "/docs/readme.txt", "readme");
    for (int i = 0; i < 10; ++i)
        writeFile(root + QString("/files/f%1.txt").arg(i), "old " + QByteArray::number(i));

    writeFile(packageFile(root, "a.txt"), "new a");
    writeFile(packageFile(root, "bin/core.dll"), "new core");
    writeFile(packageFile(root, "bin/plugin.dll"), "new plugin");
    writeFile(packageFile(root, "bin/keep.dll"), "keep");
    writeFile(packageFile(root, platform::updaterFileName()), "new updater");
    for (int i = 0; i < 10; ++i)
        writeFile(packageFile(root, QString("files/f%1.txt").arg(i)),
                  "new " + QByteArray::number(i));
    writeFile(packageFile(root, "added/deep/x.txt"), "added x");
    writeFile(packageFile(root, "added/y.txt"), "added y");
}

// About two thousand files: 1500 replaced, 300 added in new folders, 500
// left alone, 100 of them in the package unchanged, and the updater.
void buildLargeCase(const QString& root)
{
    setVersion(root, "1.0");
    const QByteArray filler(900, 'x');
    for (int folder = 0; folder < 20; ++folder) {
        for (int file = 0; file < 100; ++file) {
            const QString name = QString("d%1/f%2.txt").arg(folder).arg(file);
            writeFile(root + "/" + name, "old " + name.toUtf8() + filler);
            if (folder < 15)
                writeFile(packageFile(root, name), "new " + name.toUtf8() + filler);
            else if (folder == 15)
                writeFile(packageFile(root, name), "old " + name.toUtf8() + filler);
        }
    }
    for (int folder = 0; folder < 3; ++folder) {
        for (int file = 0; file < 100; ++file) {
            const QString name = QString("n%1/sub/g%2.txt").arg(folder).arg(file);
            writeFile(packageFile(root, name), "added " + name.toUtf8() + filler);
        }
    }
    writeFile(packageFile(root, platform::updaterFileName()), "new updater");
}

// A copy of the tree below `from` at `to`, file modes kept; hidden entries
// too, links not followed.
bool copyTree(const QString& from, const QString& to)
{
    QDir(to).removeRecursively();
    if (!QDir().mkpath(to))
        return false;
    QDirIterator entries(from,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString source = entries.next();
        const QString target = to + source.mid(from.size());
        const bool copied = entries.fileInfo().isDir() && !entries.fileInfo().isSymLink()
                                ? QDir().mkpath(target)
                                : QFile::copy(source, target);
        if (!copied)
            return false;
    }
    return true;
}

// The work folder's "downloads" on another file system: a link to a tmpfs.
bool moveDownloadsTo(const QString& root, const SmallDisk& disk)
{
    return disk.isMounted() && QDir().mkpath(root + "/downloads") &&
           copyTree(root + "/downloads", disk.path() + "/downloads") &&
           QDir(root + "/downloads").removeRecursively() &&
           QFile::link(disk.path() + "/downloads", root + "/downloads");
}

struct DriverRun
{
    bool killed = false;
    int exitCode = -1;
};

DriverRun runDriver(const QStringList& arguments, const QString& stop = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!stop.isEmpty())
        environment.insert("INSTALL_DRIVER_STOP", stop);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(INSTALL_DRIVER_EXE, arguments);
    process.waitForFinished(120000);
    return {process.exitStatus() == QProcess::CrashExit, process.exitCode()};
}

QStringList g_log;

void captureLog(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_log.append(message);
}

// Reads what `process` prints into `output` until it holds `text`; false
// when the process ends or falls silent first.
bool waitForOutput(QProcess& process, QByteArray& output, const QByteArray& text)
{
    while (!output.contains(text)) {
        if (!process.waitForReadyRead(60000))
            return false;
        output += process.readAll();
    }
    return true;
}

// A token_holder that holds `file` as `mode` says, started and holding.
bool startHolder(QProcess& holder, const QString& mode, const QString& file)
{
    holder.start(TOKEN_HOLDER_EXE, {mode, file});
    QByteArray output;
    return holder.waitForStarted() && waitForOutput(holder, output, "holding");
}

} // namespace

class TestInstallJournal : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir{QDir::tempPath() + "/journal-XXXXXX"};
    QString m_smallTemplate;
    Snapshot m_smallOld;
    Snapshot m_smallNew;
    QString m_work;

    QString journalIn(const QString& root) const { return InstallJournal::filePathIn(root); }

    // Recovery in a fresh process, as the next start runs it.
    void recoverAndExpect(const Snapshot& expected, const QString& root)
    {
        const DriverRun recovery = runDriver({"recover", root});
        QVERIFY(!recovery.killed);
        QCOMPARE(recovery.exitCode, 0);
        const Snapshot actual = snapshot(root);
        QVERIFY2(actual == expected, qPrintable(treeDifference(actual, expected)));
        QVERIFY(!QFileInfo::exists(journalIn(root)));
    }
    void recoverAndExpect(const Snapshot& expected) { recoverAndExpect(expected, m_work); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_smallTemplate = m_dir.filePath("small");
        m_work = m_dir.filePath("work");
        buildSmallCase(m_smallTemplate);
        m_smallOld = snapshot(m_smallTemplate);
        QVERIFY(copyTree(m_smallTemplate, m_work));
        const DriverRun run = runDriver({"install", m_work, "2.0"});
        QVERIFY(!run.killed);
        QCOMPARE(run.exitCode, 0);
        m_smallNew = snapshot(m_work);
        QCOMPARE(fileContent(m_work + "/" + platform::temporaryUpdaterFileName()),
                 QByteArray("new updater"));
        QCOMPARE(m_smallNew.value("/added/deep"), QString("folder"));
        QVERIFY(fileContent(m_work + "/config.ini").contains("Version=2.0"));
        QVERIFY(!QFileInfo::exists(m_work + "/downloads/update"));
    }

    void init() { QVERIFY(copyTree(m_smallTemplate, m_work)); }

    void killedAtStep_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::addColumn<bool>("committed");
        QTest::newRow("compared, before the journal") << "prepared:1" << false;
        QTest::newRow("journaled, before the first backup rename") << "journal:1" << false;
        QTest::newRow("after the first backup rename") << "backup:1" << false;
        QTest::newRow("after some backup renames") << "backup:5" << false;
        QTest::newRow("after the last backup rename") << "backup:13" << false;
        QTest::newRow("backed up, before the first install rename") << "backedUp:1" << false;
        QTest::newRow("after the first install rename") << "install:1" << false;
        QTest::newRow("in the middle of the install renames") << "install:8" << false;
        QTest::newRow("after the last install rename") << "install:16" << false;
        QTest::newRow("installed, before config.ini") << "installed:1" << false;
        QTest::newRow("after config.ini") << "committed:1" << true;
        QTest::newRow("before the clean-up") << "completed:1" << true;
    }
    // Given back, every file is the very file it was (renamed back, never
    // copied); installed, the files the package left alone are too.
    void killedAtStep()
    {
        QFETCH(QString, stop);
        QFETCH(bool, committed);
        const QMap<QString, QString> inodes = inodesBelow(m_work);
        const DriverRun run = runDriver({"install", m_work, "2.0"}, stop);
        QVERIFY(run.killed);
        recoverAndExpect(committed ? m_smallNew : m_smallOld);
        if (committed)
            QVERIFY(!QFileInfo::exists(m_work + "/downloads/update"));
        const QStringList kept = committed ? QStringList{"/bin/keep.dll", "/docs/readme.txt"}
                                           : QStringList(inodes.keys());
        for (const QString& file : kept)
            QVERIFY2(fileIdentity(m_work + file) == inodes.value(file), qPrintable(file));
        // Before the journal there is nothing to recover; the next
        // installation clears the work folder.
        if (!stop.startsWith("prepared"))
            QCOMPARE(workLeftIn(m_work), QStringList());
    }

    void ownerlessConfigLockIsCleared_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::addColumn<bool>("committed");
        QTest::newRow("before the commit") << "installed:1" << false;
        QTest::newRow("after the commit") << "committed:1" << true;
    }
    // A writer of config.ini killed while it wrote its lock file leaves one
    // that names no owner.
    void ownerlessConfigLockIsCleared()
    {
        QFETCH(QString, stop);
        QFETCH(bool, committed);
        QVERIFY(runDriver({"install", m_work, "2.0"}, stop).killed);
        writeFile(m_work + "/config.ini.lock", "");
        recoverAndExpect(committed ? m_smallNew : m_smallOld);
    }

    // The journal and the backups name only what changes; each backup is
    // the installed file itself.
    void onlyChangedFilesAreJournaledAndSetAside()
    {
        const QMap<QString, QString> inodes = inodesBelow(m_work);
        QVERIFY(runDriver({"install", m_work, "2.0"}, "backedUp:1").killed);
        InstallJournal journal(m_work);
        QString error;
        QVERIFY2(journal.load(error), qPrintable(error));
        QStringList targets;
        for (const InstallJournal::Target& target : journal.targets()) {
            targets.append(target.path);
            if (!target.backup.isEmpty())
                QCOMPARE(fileIdentity(journal.absolutePath(target.backup)),
                         inodes.value("/" + target.path));
        }
        QCOMPARE(targets.size(), 16);
        QVERIFY(!targets.contains("bin/keep.dll"));
        QVERIFY(!QFileInfo::exists(m_work + "/downloads/update/backup/bin/keep.dll"));
        recoverAndExpect(m_smallOld);
    }

    void killedAcrossFileSystems_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::addColumn<bool>("committed");
        QTest::newRow("after the first backup copy") << "backup:1" << false;
        QTest::newRow("in the middle of the copies") << "install:8" << false;
        QTest::newRow("after config.ini") << "committed:1" << true;
    }
    // The work folder on a file system of its own: backups and installed
    // files are copies, given back as well.
    void killedAcrossFileSystems()
    {
        QFETCH(QString, stop);
        QFETCH(bool, committed);
        SmallDisk disk(16);
        if (!moveDownloadsTo(m_work, disk))
            QSKIP("another file system is played by a small tmpfs, which only root may mount");
        QVERIFY(runDriver({"install", m_work, "2.0"}, stop).killed);
        recoverAndExpect(committed ? m_smallNew : m_smallOld);
        QCOMPARE(workLeftIn(m_work), QStringList());
    }

    void linkIsGivenBackAsLink_data()
    {
        QTest::addColumn<QString>("leadsTo"); // from the application folder
        QTest::addColumn<QString>("stop");
        QTest::addColumn<bool>("acrossFileSystems");
        QTest::newRow("to nothing, set aside") << "gone.txt"
                                               << "backup:1" << false;
        QTest::newRow("to nothing, replaced") << "gone.txt"
                                              << "install:16" << false;
        QTest::newRow("to a file inside, replaced") << "docs/readme.txt"
                                                    << "install:16" << false;
        QTest::newRow("to nothing, backed up on another file system") << "gone.txt"
                                                                      << "install:16" << true;
    }
    // A link among the targets is set aside and put back as the link itself,
    // even one that leads nowhere; what it leads to is never touched.
    void linkIsGivenBackAsLink()
    {
        QFETCH(QString, leadsTo);
        QFETCH(QString, stop);
        QFETCH(bool, acrossFileSystems);
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shortcut on Windows, not a symbolic link");
#endif
        std::unique_ptr<SmallDisk> disk;
        if (acrossFileSystems) {
            disk = std::make_unique<SmallDisk>(16);
            if (!moveDownloadsTo(m_work, *disk))
                QSKIP("another file system is played by a small tmpfs, which only root may mount");
        }
        const QString link = m_work + "/a.txt";
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(leadsTo, link));
        const Snapshot before = snapshot(m_work);
        QVERIFY(runDriver({"install", m_work, "2.0"}, stop).killed);
        recoverAndExpect(before);
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFile::symLinkTarget(link), m_work + "/" + leadsTo);
    }

    void watchedUpdateEndsWhole_data()
    {
        QTest::addColumn<QString>("behaviour");   // the new main program's, as fake_main takes it
        QTest::addColumn<QString>("watcherStop"); // "none": no watcher ever ran; empty: not killed
        QTest::addColumn<bool>("later");          // the next start comes after the window
        QTest::addColumn<bool>("takenBack");
        QTest::newRow("crash, then the old version back") << "abort"
                                                          << "" << false << true;
        QTest::newRow("power cut awaiting confirmation, the window passed")
            << "run"
            << "none" << true << false;
        QTest::newRow("watcher killed as the window began") << "run"
                                                            << "watch:1" << true << false;
        QTest::newRow("watcher killed as it confirms") << "run"
                                                       << "confirmed:1" << false << false;
        QTest::newRow("watcher killed as it takes the version back")
            << "abort"
            << "rollingBack:1" << false << true;
        // The package changes 17 files: one pass of the undo each.
        for (int step = 1; step <= 17; ++step)
            QTest::addRow("watcher killed at rollback step %d", step)
                << "abort" << QString("rollback:%1").arg(step) << false << true;
        QTest::newRow("watcher killed once the version is back") << "abort"
                                                                 << "rolledBack:1" << false << true;
    }
    // However the watch ends, killed at any step or cut off by a power cut,
    // the next start leaves one whole version: the new one confirmed, or the
    // old one given back and the release refused; the outcome recorded once,
    // nothing of the update left.
    void watchedUpdateEndsWhole()
    {
        QFETCH(QString, behaviour);
        QFETCH(QString, watcherStop);
        QFETCH(bool, later);
        QFETCH(bool, takenBack);
        const QString suffix = QFileInfo(FAKE_MAIN_EXE).suffix();
        const QString main = suffix.isEmpty() ? "main" : "main." + suffix;
        // Windows keeps a running program's file, which the next row replaces.
        const auto stopMain =
            qScopeGuard([&] { platform::stopProcessesByExecutable(m_work + "/" + main); });
        QVERIFY(QFile::copy(FAKE_MAIN_EXE, m_work + "/" + main));
        QFile::setPermissions(m_work + "/" + main, QFile::permissions(FAKE_MAIN_EXE));
        writeFile(m_work + "/" + main + ".behaviour", "run");
        writeFile(packageFile(m_work, main + ".behaviour"), behaviour.toUtf8());
        QSettings(m_work + "/config.ini", QSettings::IniFormat).setValue("Update/HealthSeconds", 1);
        const QStringList leftOut{"config.ini", main + ".args", main + ".started"};
        const Snapshot before = without(snapshot(m_work), leftOut);
        Snapshot installed = before;
        for (auto entry = m_smallNew.cbegin(); entry != m_smallNew.cend(); ++entry)
            installed.insert(entry.key(), entry.value());
        installed.insert("/" + main + ".behaviour",
                         describeEntry(packageFile(m_work, main + ".behaviour")));
        installed = without(installed, leftOut);

        QCOMPARE(runDriver({"install", m_work, "2.0", "watched"}).exitCode, 0);
        // A start before the watcher began its first window leaves the watch
        // to it.
        if (watcherStop == "none")
            QCOMPARE(runDriver({"recover", m_work, ""}).exitCode, 1);
        else
            QCOMPARE(runDriver({"watch", m_work, main}, watcherStop).killed,
                     !watcherStop.isEmpty());
        QCOMPARE(runDriver({"recover", m_work, later ? "later" : ""}).exitCode, 0);
        const Snapshot after = without(snapshot(m_work), leftOut);
        const Snapshot& expected = takenBack ? before : installed;
        QVERIFY2(after == expected, qPrintable(treeDifference(after, expected)));
        QSettings config(m_work + "/config.ini", QSettings::IniFormat);
        QCOMPARE(config.value("Version/Version").toString(), QString(takenBack ? "1.0" : "2.0"));
        QCOMPARE(config.value("Update/RefusedVersion").toString(), QString(takenBack ? "2.0" : ""));
        QVERIFY(!QFileInfo::exists(m_work + "/downloads/update"));
        const QJsonArray outcomes =
            QJsonDocument::fromJson(fileContent(m_work + "/downloads/outcomes.json")).array();
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes.at(0)["outcome"].toString(),
                 QString(takenBack ? "rolledBack" : "confirmed"));
    }

    void killedDuringRecovery_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::newRow("after some restores") << "rollback:3";
        QTest::newRow("rolled back, journal still there") << "recovered:1";
    }
    void killedDuringRecovery()
    {
        QFETCH(QString, stop);
        QVERIFY(runDriver({"install", m_work, "2.0"}, "install:12").killed);
        QVERIFY(runDriver({"recover", m_work}, stop).killed);
        QVERIFY(QFileInfo::exists(journalIn(m_work)));
        recoverAndExpect(m_smallOld);
        QCOMPARE(workLeftIn(m_work), QStringList());
    }

    // A file that cannot be installed (a folder stands where the package
    // puts a file) makes the installation give everything back itself.
    void failedInstallationGivesBackAndDropsJournal()
    {
        const auto blockOneFile = [this] {
            writeFile(m_work + "/zz/inside.txt", "in the way");
            writeFile(packageFile(m_work, "zz"), "blocked");
        };
        blockOneFile();
        const Snapshot before = snapshot(m_work);
        const DriverRun run = runDriver({"install", m_work, "2.0"});
        QVERIFY(!run.killed);
        QCOMPARE(run.exitCode, 1);
        const Snapshot after = snapshot(m_work);
        QVERIFY2(after == before, qPrintable(treeDifference(after, before)));
        QCOMPARE(workLeftIn(m_work), QStringList());

        QVERIFY(copyTree(m_smallTemplate, m_work));
        blockOneFile();
        QVERIFY(runDriver({"install", m_work, "2.0"}, "rollback:4").killed);
        recoverAndExpect(before);
        QCOMPARE(workLeftIn(m_work), QStringList());
    }

    void givesBackOnAFullDisk_data()
    {
        QTest::addColumn<QString>("stop");         // empty: the installation gives back itself
        QTest::addColumn<QString>("recoveryStop"); // empty: the first recovery runs through
        QTest::addColumn<QString>("failing");      // the package file that does not fit
        const auto row = [](const char* name, const char* stop, const char* recoveryStop,
                            const char* failing) {
            QTest::newRow(name) << stop << recoveryStop << failing;
        };
        row("given back", "", "", "z.bin");
        row("given back, the file that does not fit replaces one", "", "", "zz.bin");
        row("killed after removing the added file", "rollback:1", "", "z.bin");
        row("killed after putting a file back", "rollback:2", "", "zz.bin");
        row("killed again while recovering", "rollback:1", "rollback:2", "z.bin");
    }
    // Only copies need room: the installation on a disk of 10 MiB, its work
    // folder on another. Sizes in MiB: a.bin 6 → 1, zz.bin 1, the package
    // adds m.bin 4; the last file of 6 does not fit. Giving back needs no
    // more room than the added files free, in the installation or in the
    // recovery after a crash, and leaves nothing of the work; zz.bin is
    // never written again.
    void givesBackOnAFullDisk()
    {
        QFETCH(QString, stop);
        QFETCH(QString, recoveryStop);
        QFETCH(QString, failing);
        SmallDisk disk(10);
        SmallDisk work(32);
        if (!moveDownloadsTo(disk.path(), work))
            QSKIP("a full disk is played by a small tmpfs, which only root may mount");
        const QString root = disk.path();
        setVersion(root, "1.0");
        writeFile(root + "/a.bin", QByteArray(6 << 20, 'o'));
        writeFile(root + "/zz.bin", QByteArray(1 << 20, 'o'));
        const Snapshot before = snapshot(root);
        const qint64 freeBefore = disk.bytesFree();
        const QString untouched = fileIdentity(root + "/zz.bin");
        writeFile(packageFile(root, "a.bin"), QByteArray(1 << 20, 'n'));
        writeFile(packageFile(root, "m.bin"), QByteArray(4 << 20, 'n'));
        writeFile(packageFile(root, failing), QByteArray(6 << 20, 'n'));

        const DriverRun run = runDriver({"install", root, "2.0"}, stop);
        QVERIFY(stop.isEmpty() ? run.exitCode == 1 : run.killed);
        if (stop.isEmpty())
            QCOMPARE(treeDifference(snapshot(root), before), QString());
        if (!recoveryStop.isEmpty())
            QVERIFY(runDriver({"recover", root}, recoveryStop).killed);
        recoverAndExpect(before, root);
        QCOMPARE(workLeftIn(root), QStringList());
        QVERIFY2(disk.bytesFree() >= freeBefore, qPrintable(QString::number(disk.bytesFree())));
        QCOMPARE(fileIdentity(root + "/zz.bin"), untouched);
    }

    // Without the new version in config.ini the files would not match it,
    // so an installation whose version cannot be written is given back.
    void unwritableVersionGivesBack()
    {
        QFile::remove(m_work + "/config.ini");
        QVERIFY(QDir().mkpath(m_work + "/config.ini/held"));
        const Snapshot before = snapshot(m_work);
        const DriverRun run = runDriver({"install", m_work, "2.0"});
        QVERIFY(!run.killed);
        QCOMPARE(run.exitCode, 1);
        const Snapshot after = snapshot(m_work);
        QVERIFY2(after == before, qPrintable(treeDifference(after, before)));
        QVERIFY(!QFileInfo::exists(journalIn(m_work)));
    }

    // Killed at random moments from outside: afterwards the installation is
    // always exactly the old one or exactly the new one.
    void randomKills()
    {
        const QString largeTemplate = m_dir.filePath("large");
        buildLargeCase(largeTemplate);
        const Snapshot oldTree = snapshot(largeTemplate);
        QVERIFY(copyTree(largeTemplate, m_work));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runDriver({"install", m_work, "2.0"}).exitCode, 0);
        // Only to spread the kills over the whole installation.
        const int duration = qMax<int>(50, int(clock.elapsed()));
        const Snapshot newTree = snapshot(m_work);
        QVERIFY(newTree != oldTree);

        int endedOld = 0;
        int endedNew = 0;
        for (int round = 0; round < 20; ++round) {
            QVERIFY(copyTree(largeTemplate, m_work));
            QProcess installation;
            installation.start(INSTALL_DRIVER_EXE, {"install", m_work, "2.0"});
            QVERIFY(installation.waitForStarted());
            const int delay = QRandomGenerator::global()->bounded(duration + duration / 4);
            if (!installation.waitForFinished(delay)) {
                installation.kill();
                installation.waitForFinished();
            }
            QCOMPARE(runDriver({"recover", m_work}).exitCode, 0);
            const Snapshot actual = snapshot(m_work);
            QVERIFY2(actual == oldTree || actual == newTree,
                     qPrintable(QString("round %1 after %2 ms: %3")
                                    .arg(round)
                                    .arg(delay)
                                    .arg(treeDifference(actual, oldTree))));
            QVERIFY(!QFileInfo::exists(journalIn(m_work)));
            ++(actual == oldTree ? endedOld : endedNew);
        }
        qInfo() << "rounds ending old:" << endedOld << "new:" << endedNew;
    }

    // The shipped updater puts the installation right when it starts, before
    // it asks for a new version (here it finds no service and ends).
    void updaterRecoversAtStart()
    {
        QVERIFY(runDriver({"install", m_work, "2.0"}, "install:8").killed);
        QSettings settings(m_work + "/config.ini", QSettings::IniFormat);
        settings.setIniCodec("utf8");
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        settings.setValue("Version/ServiceIP", "http://127.0.0.1");
        settings.setValue("Version/ServicePort", QString::number(port));
        settings.sync();
        const QString updater = m_work + "/" + platform::updaterFileName();
        QFile::copy(VADERORU_EXE, updater);
        QFile::setPermissions(updater, QFile::permissions(VADERORU_EXE));

        const ProcessResult result = runProcess(updater, {"update", "root", "main"});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);

        const QStringList leftOut{"config.ini", platform::updaterFileName(), "log"};
        QCOMPARE(without(snapshot(m_work), leftOut), without(m_smallOld, leftOut));
        QSettings after(m_work + "/config.ini", QSettings::IniFormat);
        QCOMPARE(after.value("Version/Version").toString(), QString("1.0"));
        QVERIFY(!QFileInfo::exists(journalIn(m_work)));
        QString log;
        QDirIterator logs(m_work + "/log", QDir::Files, QDirIterator::Subdirectories);
        while (logs.hasNext()) {
            QFile file(logs.next());
            if (file.open(QIODevice::ReadOnly))
                log += QString::fromUtf8(file.readAll());
        }
        QVERIFY2(log.contains(QString::fromUtf8("Update: 恢复未完成的更新")), qPrintable(log));
        // Recovered first; the version check then asks with the old version.
        const int request = log.indexOf("checkVersion] Request");
        QVERIFY(log.indexOf(QString::fromUtf8("恢复未完成的更新")) < request);
        QVERIFY(log.mid(request).contains("\\\"version\\\":\\\"1.0\\\""));
    }

    // The whole road: the updater downloads the package from the service,
    // dies in the middle of installing it, and the next start of the
    // updater finds a whole version.
    void crashedUpdateThroughTheUpdater_data()
    {
        QTest::addColumn<QString>("stop");
        QTest::addColumn<bool>("committed");
        QTest::newRow("in the middle of the installation") << "install:8" << false;
        QTest::newRow("after config.ini") << "committed:1" << true;
    }
    void crashedUpdateThroughTheUpdater()
    {
        QFETCH(QString, stop);
        QFETCH(bool, committed);
        const QString packages = m_dir.filePath("packages");
        QDir().mkpath(packages);
        QProcess zip;
        zip.setWorkingDirectory(m_smallTemplate + "/downloads/update/temp");
        zip.start("zip", {"-q", "-r", packages + "/App_2.0.zip", "."});
        QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);
        const QString catalog = m_dir.filePath("catalog.json");
        writeFile(catalog, R"({"softwareRoots":{"App":{"general":{"releases":[)"
                           R"({"version":"2.0","url":"/packages/App_2.0.zip"}]}}}})");
        CloudServiceProcess service;
        QVERIFY2(service.start({"--catalog", catalog, "--packages", packages},
                               m_dir.filePath("service.log")),
                 qPrintable(service.startError()));

        QVERIFY(QDir(m_work + "/downloads").removeRecursively());
        QSettings settings(m_work + "/config.ini", QSettings::IniFormat);
        settings.setValue("Version/ServiceIP", "http://127.0.0.1");
        settings.setValue("Version/ServicePort", QString::number(service.port()));
        settings.sync();
        const QString updater = m_work + "/" + platform::updaterFileName();
        QVERIFY(QFile::copy(UPDATE_DRIVER_EXE, updater));
        QFile::setPermissions(updater, QFile::permissions(UPDATE_DRIVER_EXE));

        QProcess first;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("UPDATE_DRIVER_SCRIPT", "window;click:update");
        environment.insert("UPDATE_DRIVER_STOP", stop);
        first.setProcessEnvironment(environment);
        first.start(updater, {"check", "App", "main"});
        QVERIFY(first.waitForFinished(60000));
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);

        environment.remove("UPDATE_DRIVER_STOP");
        environment.insert("UPDATE_DRIVER_SCRIPT", committed ? "box" : "window;click:cancel");
        const ProcessResult second = runProcess(updater, {"check", "App", "main"}, environment);
        QVERIFY(second.finished);
        const QString output = QString::fromUtf8(second.standardOutput);
        QVERIFY2(committed ? output.contains("It's the latest version")
                           : output.contains("WINDOW old=Current version: v1.0"),
                 qPrintable(output));

        const QStringList leftOut{"config.ini", platform::updaterFileName(), "log"};
        QCOMPARE(without(snapshot(m_work), leftOut),
                 without(committed ? m_smallNew : m_smallOld, leftOut));
        QSettings after(m_work + "/config.ini", QSettings::IniFormat);
        QCOMPARE(after.value("Version/Version").toString(), QString(committed ? "2.0" : "1.0"));
        QVERIFY(!QFileInfo::exists(journalIn(m_work)));
    }

    void ignoresUnusableJournal_data()
    {
        QTest::addColumn<QByteArray>("journal");
        const QByteArray head = R"({"format":1,"state":"installing","oldVersion":"0.9",)"
                                R"("newVersion":"1.0",)";
        QTest::newRow("not JSON") << QByteArray("{\"format\":1,\"targ");
        QTest::newRow("unknown format")
            << QByteArray(R"({"format":7,"state":"installing","oldVersion":"0.9",)"
                          R"("newVersion":"1.0","targets":[],"folders":[]})");
        QTest::newRow("absolute target")
            << head + R"("targets":[{"path":"OUTSIDE/canary.txt"}],"folders":[]})";
        QTest::newRow("target above the installation")
            << head + R"("targets":[{"path":"../outside/canary.txt"}],"folders":[]})";
        QTest::newRow("backslashes")
            << head + R"("targets":[{"path":"..\\outside\\canary.txt"}],"folders":[]})";
        QTest::newRow("backup above the installation")
            << head + R"("targets":[{"path":"a.txt","backup":"../outside/canary.txt"}],)"
                      R"("folders":[]})";
        QTest::newRow("folder above the installation")
            << head + R"("targets":[],"folders":["../outside/empty"]})";
    }
    void ignoresUnusableJournal()
    {
        QFETCH(QByteArray, journal);
        const QString outside = m_dir.filePath("outside");
        writeFile(outside + "/canary.txt", "canary");
        QDir().mkpath(outside + "/empty");
        journal.replace("OUTSIDE", outside.toUtf8());
        writeFile(journalIn(m_work), journal);

        g_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureLog);
        const bool recovered = InstallRecovery(m_work).run();
        qInstallMessageHandler(previous);

        QVERIFY(recovered);
        QVERIFY2(g_log.size() == 1 &&
                     g_log.first().contains(QString::fromUtf8("忽略无效的安装记录")),
                 qPrintable(g_log.join('\n')));
        QCOMPARE(QFile(outside + "/canary.txt").size(), qint64(6));
        QVERIFY(QDir(outside + "/empty").exists());
        QVERIFY(!QFileInfo::exists(journalIn(m_work)));
        QCOMPARE(snapshot(m_work), m_smallOld);
    }

    void completeJournalOnlyCleansUp()
    {
        InstallJournal journal(m_work);
        journal.setVersions("0.9", "1.0");
        writeFile(m_work + "/downloads/update/backup/a.txt", "older a");
        QVERIFY(journal.addTarget(m_work + "/a.txt", m_work + "/downloads/update/backup/a.txt"));
        QVERIFY(journal.addTarget(m_work + "/files/f1.txt", QString()));
        QVERIFY(journal.save(InstallJournal::State::Complete));

        g_log.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureLog);
        QVERIFY(InstallRecovery(m_work).run());
        qInstallMessageHandler(previous);

        QVERIFY(g_log.isEmpty());
        QCOMPARE(snapshot(m_work), m_smallOld);
        QVERIFY(!QFileInfo::exists(m_work + "/downloads/update"));
    }

    // A file that cannot be given back yet (here a folder stands in its way)
    // keeps the journal, and the next start finishes the job.
    void failedRestoreKeepsJournalForNextStart()
    {
        writeFile(m_work + "/downloads/update/backup/a.txt", "old a");
        QFile::remove(m_work + "/a.txt");
        writeFile(m_work + "/a.txt/obstacle", "in the way");
        InstallJournal journal(m_work);
        journal.setVersions("1.0", "2.0");
        QVERIFY(journal.addTarget(m_work + "/a.txt", m_work + "/downloads/update/backup/a.txt"));
        QVERIFY(journal.save(InstallJournal::State::Installing));

        QVERIFY(!InstallRecovery(m_work).run());
        QVERIFY(QFileInfo::exists(journalIn(m_work)));

        QVERIFY(QDir(m_work + "/a.txt").removeRecursively());
        QVERIFY(InstallRecovery(m_work).run());
        QCOMPARE(snapshot(m_work), m_smallOld);
        QVERIFY(!QFileInfo::exists(journalIn(m_work)));
    }

    void journalRefusesPathsOutsideTheInstallation_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("inside") << "/bin/core.dll" << true;
        QTest::newRow("the folder itself") << "" << false;
        QTest::newRow("sibling with the same prefix") << "-other/core.dll" << false;
        QTest::newRow("climbing out") << "/bin/../../core.dll" << false;
    }
    void journalRefusesPathsOutsideTheInstallation()
    {
        QFETCH(QString, target);
        QFETCH(bool, accepted);
        InstallJournal journal(m_work);
        QCOMPARE(journal.addTarget(m_work + target, QString()), accepted);
    }

    void waitsForAHeldFile_data()
    {
        QTest::addColumn<bool>("letGo"); // 2 s into the installation's wait
        QTest::newRow("held for a moment") << true;
        QTest::newRow("held throughout") << false;
    }
    // A file another program holds open without delete sharing, as a virus
    // scanner does, is waited for; one still held once the wait is spent
    // is named, and everything is given back.
    void waitsForAHeldFile()
    {
        QFETCH(bool, letGo);
#ifndef Q_OS_WIN
        QSKIP("Linux renames and replaces open files: no sharing violations to wait for");
#endif
        const QString held = m_work + "/files/f5.txt";
        QProcess holder;
        QVERIFY(startHolder(holder, "--hold-file", held));
        const auto stopHolder = qScopeGuard([&] {
            holder.kill();
            holder.waitForFinished();
        });
        const Snapshot before = snapshot(m_work);
        QProcess installation;
        installation.setProcessChannelMode(QProcess::MergedChannels);
        installation.start(INSTALL_DRIVER_EXE, {"install", m_work, "2.0"});
        QByteArray output;
        QVERIFY2(waitForOutput(installation, output, "is held by another program"),
                 output.constData());
        if (letGo) {
            QThread::sleep(2);
            holder.kill();
        }
        QVERIFY(installation.waitForFinished(120000));
        output += installation.readAll();
        QCOMPARE(installation.exitCode(), letGo ? 0 : 1);
        const Snapshot& expected = letGo ? m_smallNew : before;
        QCOMPARE(treeDifference(snapshot(m_work), expected), QString());
        QVERIFY2(output.contains(letGo ? QByteArray("came free")
                                       : "file " + held.toUtf8() + " is in use by "),
                 output.constData());
        if (!letGo)
            QCOMPARE(workLeftIn(m_work), QStringList());
    }

    // Linux names the processes holding a file from /proc: command name and
    // pid; Windows asks the Restart Manager, which Wine answers with no one.
    void namesTheProgramsHoldingAFile()
    {
#ifndef Q_OS_LINUX
        QSKIP("the Restart Manager names whom it pleases, and under Wine no one");
#endif
        const QString held = m_work + "/bin/core.dll";
        QProcess holder;
        QVERIFY(startHolder(holder, "--hold-file", held));
        QCOMPARE(platform::processesHolding({m_work + "/a.txt", held}),
                 QStringList(QString("token_holder (pid %1)").arg(holder.processId())));
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QCOMPARE(platform::processesHolding({held}), QStringList());
    }

    // A running program's library is renamed away, never written over, which
    // Windows refuses for a mapped image (and so does Wine, with a sharing
    // violation): the package replaces it while the program runs on, calling
    // into its old copy.
    void replacesALibraryInUse()
    {
        const QString name = QFileInfo(ZLIBWRAP_LIB).fileName();
        const QString library = m_work + "/bin/" + name;
        QVERIFY(QFile::copy(ZLIBWRAP_LIB, library));
        writeFile(packageFile(m_work, "bin/" + name), "new library");
        QProcess user;
        QVERIFY(startHolder(user, "--load", library));
        const auto stopUser = qScopeGuard([&] {
            user.kill();
            user.waitForFinished();
        });
#ifdef Q_OS_WIN
        QVERIFY(!QFile(library).open(QIODevice::Append));
#endif
        QCOMPARE(runDriver({"install", m_work, "2.0"}).exitCode, 0);
        QCOMPARE(fileContent(library), QByteArray("new library"));
        QVERIFY(!user.waitForFinished(500));
    }
};

QTEST_GUILESS_MAIN(TestInstallJournal)
#include "tst_installjournal.moc"
