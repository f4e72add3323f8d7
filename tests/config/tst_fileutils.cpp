#include "config/FileUtils.h"
#include "platform/Platform.h"
#include "support/TempInstallation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A killed child stays a zombie until it is reaped, and a zombie still
// answers kill(0).
bool isRunning(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0)
        return false;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

QString installProgram(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile::remove(path);
    QFile::copy(QStringLiteral(FAKE_MAIN_EXE), path);
    QFile::setPermissions(path, QFile::permissions(QStringLiteral(FAKE_MAIN_EXE)));
    return path;
}

// A child that killProcess, not QProcess, is meant to end; QProcess only
// reaps it (and cleans up should the test fail).
struct Child
{
    QProcess process;
    qint64 start(const QString& program, const QStringList& arguments = {})
    {
        process.start(program, arguments);
        process.waitForStarted();
        // Give the kernel a moment to show the exec'd image in /proc.
        const QString exeLink = QStringLiteral("/proc/%1/exe").arg(process.processId());
        for (int i = 0; i < 100 && QFile::symLinkTarget(exeLink) != program; ++i)
            QTest::qWait(10);
        return process.processId();
    }
    ~Child()
    {
        process.kill();
        process.waitForFinished(2000);
    }
};

} // namespace

class TestFileUtils : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString path(const QString& relative) const { return m_dir.filePath(relative); }

private slots:
    void ensurePath_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("isFile");
        QTest::newRow("file in new folders") << "a/b/file.txt" << true;
        QTest::newRow("folder without suffix") << "c/d" << false;
        QTest::newRow("dotted folder name without suffix") << "e/LICENSE" << false;
    }
    void ensurePath()
    {
        QFETCH(QString, relative);
        QFETCH(bool, isFile);
        QVERIFY(::ensurePath(path(relative)));
        const QFileInfo info(path(relative));
        QVERIFY(info.exists());
        QCOMPARE(info.isFile(), isFile);
        if (isFile)
            QCOMPARE(info.size(), 0);
    }

    void ensurePathKeepsAnExistingFile()
    {
        writeFile(path("keep/data.bin"), "content");
        QVERIFY(::ensurePath(path("keep/data.bin")));
        QCOMPARE(readFile(path("keep/data.bin")), QByteArray("content"));
    }

    void ensurePathFailsWhereAFolderCannotBeMade()
    {
        writeFile(path("blocker"), "x");
        QVERIFY(!::ensurePath(path("blocker/sub/file.txt")));
    }

    void copyFileTo_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("destination");
        QTest::newRow("file to file") << "out/copy.dll"
                                      << "out/copy.dll";
        QTest::newRow("file into a suffix-less folder") << "out/LICENSE"
                                                        << "out/LICENSE/src.dll";
        QTest::newRow("backslashes become slashes") << "out\\deep\\x.dll"
                                                    << "out/deep/x.dll";
    }
    void copyFileTo()
    {
        QFETCH(QString, target);
        QFETCH(QString, destination);
        writeFile(path("src.dll"), "payload");
        QVERIFY(::copyFileTo(path("src.dll"), path(target), true, false));
        QCOMPARE(readFile(path(destination)), QByteArray("payload"));
        QVERIFY(QFile::exists(path("src.dll")));
    }

    void copyFileToEdges()
    {
        writeFile(path("edge/src.txt"), "new");
        // The same file named with backslashes is not copied onto itself.
        QString same = path("edge/src.txt");
        QVERIFY(::copyFileTo(same, same, true, false));
        // A missing source fails.
        QVERIFY(!::copyFileTo(path("edge/none.txt"), path("edge/t.txt"), true, false));
        // Without overwrite an existing destination stays and the copy fails.
        writeFile(path("edge/old.txt"), "old");
        QVERIFY(!::copyFileTo(path("edge/src.txt"), path("edge/old.txt"), false, false));
        QCOMPARE(readFile(path("edge/old.txt")), QByteArray("old"));
        QVERIFY(::copyFileTo(path("edge/src.txt"), path("edge/old.txt"), true, false));
        QCOMPARE(readFile(path("edge/old.txt")), QByteArray("new"));
        // A file standing where a suffix-less folder is needed fails the copy.
        writeFile(path("edge/LICENSE"), "text");
        QVERIFY(!::copyFileTo(path("edge/src.txt"), path("edge/LICENSE"), true, false));
        // A move removes the source.
        QVERIFY(::copyFileTo(path("edge/src.txt"), path("edge/moved.txt"), true, true));
        QVERIFY(!QFile::exists(path("edge/src.txt")));
    }

    void removeDirectory()
    {
        QVERIFY(!::removeDirectory(path("missing")));
        writeFile(path("tree/a.txt"), "a");
        writeFile(path("tree/.hidden"), "h");
        writeFile(path("tree/sub/deeper/b.txt"), "b");
        QDir().mkpath(path("tree/empty"));
        QVERIFY(::removeDirectory(path("tree")));
        QVERIFY(!QFileInfo::exists(path("tree")));
    }

    void removeDirectoryDoesNotFollowLinks()
    {
        writeFile(path("outside/keep.txt"), "keep");
        QDir().mkpath(path("linked"));
        QVERIFY(QFile::link(path("outside"), path("linked/link")));
        QVERIFY(::removeDirectory(path("linked")));
        QCOMPARE(readFile(path("outside/keep.txt")), QByteArray("keep"));
    }

    void killProcessByExecutableName()
    {
        Child child;
        const qint64 pid = child.start(QStringLiteral(FAKE_MAIN_EXE));
        QVERIFY(isRunning(pid));
        QVERIFY(::killProcess("fake_main"));
        QVERIFY(child.process.waitForFinished(3000));
        QCOMPARE(child.process.exitStatus(), QProcess::CrashExit);
        QVERIFY(!::killProcess("fake_main"));
    }

    // Two copies of one program run; only the one asked for is stopped. An
    // empty `request` asks by the program's file name.
    void stopsOnlyTheProgramAskedFor_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("bystander");
        QTest::addColumn<QString>("request");
        QTest::addColumn<bool>("replacedWhileRunning");
        QTest::newRow("same name in another folder") << "one/MainProgram"
                                                     << "two/MainProgram"
                                                     << "one/MainProgram" << false;
        QTest::newRow("long names sharing 15 characters") << "one/main-program-long-a"
                                                          << "one/main-program-long-b"
                                                          << "one/main-program-long-a" << false;
        QTest::newRow("by file name, long names sharing 15 characters") << "one/main-program-long-a"
                                                                        << "one/main-program-long-b"
                                                                        << "" << false;
        QTest::newRow("file replaced while running") << "one/MainProgram"
                                                     << "two/MainProgram"
                                                     << "one/MainProgram" << true;
        QTest::newRow("folder named through a link") << "one/MainProgram"
                                                     << "two/MainProgram"
                                                     << "link/MainProgram" << false;
    }
    void stopsOnlyTheProgramAskedFor()
    {
        QFETCH(QString, target);
        QFETCH(QString, bystander);
        QFETCH(QString, request);
        QFETCH(bool, replacedWhileRunning);
        QTemporaryDir root;
        QVERIFY(QFile::link(root.filePath("one"), root.filePath("link")));
        Child stopped, spared;
        const QString targetPath = installProgram(root.filePath(target));
        stopped.start(targetPath);
        const qint64 sparedPid = spared.start(installProgram(root.filePath(bystander)));
        if (replacedWhileRunning)
            installProgram(targetPath);

        QVERIFY(request.isEmpty() ? ::killProcess(QFileInfo(target).fileName().toStdString())
                                  : platform::stopProcessesByExecutable(root.filePath(request)));
        QVERIFY(stopped.process.waitForFinished(3000));
        QCOMPARE(stopped.process.exitStatus(), QProcess::CrashExit);
        QVERIFY(isRunning(sparedPid));
    }

    void killProcessMatchesNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << "";
        QTest::newRow("unknown") << "no-such-program-anywhere";
        QTest::newRow("a prefix only") << "fake_ma";
    }
    void killProcessMatchesNothing()
    {
        QFETCH(QString, name);
        Child child;
        const qint64 pid = child.start(QStringLiteral(FAKE_MAIN_EXE));
        QVERIFY(!::killProcess(name.toStdString()));
        QVERIFY(isRunning(pid));
    }

    void killProcessSparesItself()
    {
        const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(!::killProcess(self.toStdString()));
    }
};

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
