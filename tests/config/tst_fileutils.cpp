#include "config/FileUtils.h"
#include "platform/Platform.h"
#include "support/TempInstallation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <unistd.h>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

using End = platform::WatchedProcess::End;

#ifdef Q_OS_WIN
// Windows runs only files named .exe, and a stopped program ends with the
// exit code its stopper gave it rather than with a signal.
const QString kExecutableSuffix = QStringLiteral(".exe");
bool endedByStop(const QProcess& process)
{
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 1;
}
constexpr qint64 kCrashCode = EXCEPTION_ACCESS_VIOLATION;
const QString kCrashText = QStringLiteral("exception 0xC0000005");
// Unhandled, the exception ends the program with its code, without a report
// dialog or a debugger.
void crash()
{
    SetUnhandledExceptionFilter(
        [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}
#else
const QString kExecutableSuffix;
bool endedByStop(const QProcess& process)
{
    return process.exitStatus() == QProcess::CrashExit;
}
constexpr qint64 kCrashCode = SIGABRT;
const QString kCrashText = QStringLiteral("signal 6");
void crash()
{
    const rlimit noCoreFile = {0, 0};
    setrlimit(RLIMIT_CORE, &noCoreFile);
    abort();
}
#endif

// Started with this switch, the test program stands in for a watched main
// program and does what the next argument says.
const char kChildSwitch[] = "--watched-child";
// What a command line must quote and escape: spaces, quotes, backslashes
// before a quote and at the very end, nothing at all.
const QStringList kAwkwardArguments = {
    "two words", "say \"hi\"", "trailing\\", "back\\\\\"slashes", "", "tab\there",
};

int runAsChild(const QStringList& arguments)
{
    const QString what = arguments.value(0);
    if (what == QLatin1String("exit"))
        return arguments.value(1).toInt();
    if (what == QLatin1String("arguments"))
        return arguments.mid(1) == kAwkwardArguments ? 0 : 1;
    if (what == QLatin1String("crash"))
        crash();
    QThread::sleep(60); // until the test stops it
    return 0;
}

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

// Reaps the child when it has ended, so an ended one never counts as running.
bool isRunning(QProcess& process)
{
    return process.state() != QProcess::NotRunning && !process.waitForFinished(0);
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
#ifdef Q_OS_LINUX
        // Give the kernel a moment to show the exec'd image in /proc.
        const QString exeLink = QStringLiteral("/proc/%1/exe").arg(process.processId());
        for (int i = 0; i < 100 && QFile::symLinkTarget(exeLink) != program; ++i)
            QTest::qWait(10);
#endif
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

    void removeDirectoryDoesNotFollowLinks_data()
    {
        QTest::addColumn<QString>("link"); // below the folder removed, "linked"
        QTest::addColumn<QString>("target");
        QTest::newRow("link inside") << "linked/link"
                                     << "outside";
        QTest::newRow("the folder itself") << "linked"
                                           << "outside";
        QTest::newRow("dangling link inside") << "linked/dangling"
                                              << "nowhere";
    }

    void removeDirectoryDoesNotFollowLinks()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        writeFile(path("outside/keep.txt"), "keep");
        QDir().mkpath(path("linked"));
        QDir().rmdir(path(link));
        QVERIFY(QFile::link(path(target), path(link)));
        QVERIFY(::removeDirectory(path("linked")));
        QVERIFY(!QFileInfo::exists(path("linked")) && !QFileInfo(path("linked")).isSymLink());
        QCOMPARE(readFile(path("outside/keep.txt")), QByteArray("keep"));
    }

    void killProcessByExecutableName()
    {
        Child child;
        child.start(QStringLiteral(FAKE_MAIN_EXE));
        QVERIFY(isRunning(child.process));
        const std::string name = QFileInfo(QStringLiteral(FAKE_MAIN_EXE)).fileName().toStdString();
        QVERIFY(::killProcess(name));
        QVERIFY(child.process.waitForFinished(3000));
        QVERIFY(endedByStop(child.process));
        QVERIFY(!::killProcess(name));
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
#ifdef Q_OS_WIN
        if (replacedWhileRunning || request.startsWith(QLatin1String("link/")))
            QSKIP("Windows neither replaces a running program nor links folders this way");
#endif
        QTemporaryDir root;
        QVERIFY(QFile::link(root.filePath("one"), root.filePath("link")));
        Child stopped, spared;
        const QString targetPath = installProgram(root.filePath(target + kExecutableSuffix));
        stopped.start(targetPath);
        spared.start(installProgram(root.filePath(bystander + kExecutableSuffix)));
        if (replacedWhileRunning)
            installProgram(targetPath);

        QVERIFY(request.isEmpty() ? ::killProcess(QFileInfo(targetPath).fileName().toStdString())
                                  : platform::stopProcessesByExecutable(
                                        root.filePath(request + kExecutableSuffix)));
        QVERIFY(stopped.process.waitForFinished(3000));
        QVERIFY(endedByStop(stopped.process));
        QVERIFY(isRunning(spared.process));
    }

    // A script runs as its interpreter, with its path where the kernel puts
    // it. Spared: the same script elsewhere, and a program that only names it.
    void stopsScriptsByTheirInterpreter_data()
    {
        QTest::addColumn<QByteArray>("firstLine");
        QTest::addColumn<bool>("relative");
        QTest::newRow("shell script") << QByteArray("#!/bin/sh") << false;
        QTest::newRow("interpreter option") << QByteArray("#!/bin/sh -e") << false;
        QTest::newRow("through env") << QByteArray("#!/usr/bin/env sh") << false;
        QTest::newRow("started by a relative path") << QByteArray("#!/bin/sh") << true;
    }
    void stopsScriptsByTheirInterpreter()
    {
#ifndef Q_OS_LINUX
        QSKIP("a main program started through an interpreter is a Linux case");
#else
        QFETCH(QByteArray, firstLine);
        QFETCH(bool, relative);
        QTemporaryDir root;
        QProcess target, sameElsewhere;
        for (const QString folder : {"one", "two"}) {
            // The mark tells the interpreter runs: through env it starts a moment later.
            writeFile(root.filePath(folder + "/main.sh"),
                      firstLine + "\n: > \"$0.started\"\nread line\n");
            QFile::setPermissions(root.filePath(folder + "/main.sh"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        target.setWorkingDirectory(root.filePath("one"));
        target.start(relative ? "./main.sh" : root.filePath("one/main.sh"), QStringList());
        sameElsewhere.start(root.filePath("two/main.sh"), QStringList());
        Child namer;
        namer.start(QStringLiteral(FAKE_MAIN_EXE), {root.filePath("one/main.sh")});
        QVERIFY(target.waitForStarted() && sameElsewhere.waitForStarted());
        QTRY_VERIFY(QFile::exists(root.filePath("one/main.sh.started")) &&
                    QFile::exists(root.filePath("two/main.sh.started")));

        QVERIFY(platform::stopProcessesByExecutable(root.filePath("one/main.sh")));
        QVERIFY(target.waitForFinished(3000));
        QVERIFY(endedByStop(target));
        QVERIFY(isRunning(sameElsewhere));
        QVERIFY(isRunning(namer.process));
        sameElsewhere.kill();
        sameElsewhere.waitForFinished(2000);
#endif
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
        child.start(QStringLiteral(FAKE_MAIN_EXE));
        QVERIFY(!::killProcess(name.toStdString()));
        QVERIFY(isRunning(child.process));
    }

    void killProcessSparesItself()
    {
        const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(!::killProcess(self.toStdString()));
    }

    void watchedProcess_data()
    {
        QTest::addColumn<QStringList>("childArguments");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("code");
        QTest::addColumn<QString>("text");
        const int exited = int(End::Kind::Exited);
        QTest::newRow("exits normally")
            << QStringList{"exit", "0"} << exited << 0ll << "exit code 0";
        QTest::newRow("exits with a code")
            << QStringList{"exit", "3"} << exited << 3ll << "exit code 3";
        QTest::newRow("awkward arguments arrive intact")
            << QStringList("arguments") + kAwkwardArguments << exited << 0ll << "exit code 0";
        QTest::newRow("crashes") << QStringList("crash") << int(End::Kind::Crashed) << kCrashCode
                                 << kCrashText;
        QTest::newRow("still running when the watch ends")
            << QStringList("sleep") << int(End::Kind::Running) << 0ll << "running";
    }
    void watchedProcess()
    {
        QFETCH(QStringList, childArguments);
        QFETCH(int, kind);
        QFETCH(qint64, code);
        QFETCH(QString, text);
        const QString self = QCoreApplication::applicationFilePath();
        End end;
        End again;
        {
            platform::WatchedProcess watched;
            QString reason;
            QVERIFY2(watched.start(self, QStringList(kChildSwitch) + childArguments, reason),
                     qPrintable(reason));
            end = watched.wait(kind == int(End::Kind::Running) ? 300 : 60000);
            again = watched.wait(0);
        }
        // A program still running when its watch is over runs on, until the
        // test ends it.
        QCOMPARE(platform::stopProcessesByExecutable(self), again.kind == End::Kind::Running);
        QCOMPARE(int(end.kind), kind);
        QCOMPARE(end.code, code);
        QCOMPARE(end.text(), text);
        QCOMPARE(again.text(), text);
    }

    void watchedProcessThatCannotStart()
    {
        platform::WatchedProcess watched;
        QString reason;
        QVERIFY(!watched.start(path("no-such-program") + kExecutableSuffix, {}, reason));
        QVERIFY(reason.contains("no-such-program"));
    }
};

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], kChildSwitch) == 0) {
        QStringList arguments;
        for (int i = 2; i < argc; ++i)
            arguments.append(QString::fromLocal8Bit(argv[i]));
        return runAsChild(arguments);
    }
    QCoreApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestFileUtils test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_fileutils.moc"
