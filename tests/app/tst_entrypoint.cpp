#include "layout/InstallationLayout.h"
#include "platform/Platform.h"
#include "support/TempInstallation.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <cerrno>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

const QString kLogServer = QStringLiteral("DLQ_M31_LogServer");

#ifdef Q_OS_WIN
// Exit code -1 as the system reports it.
constexpr int kRefused = -1;
// Opening a folder as the lock file is refused outright.
constexpr int kLockIsAFolder = ERROR_ACCESS_DENIED;
// Log files are text files in the system's own line ends.
const QString kLineEnd = QStringLiteral("\r\n");
#else
constexpr int kRefused = 255;
constexpr int kLockIsAFolder = EISDIR;
const QString kLineEnd = QStringLiteral("\n");
#endif

// Root writes into read-only folders, and Windows ignores the read-only
// attribute of folders.
bool readOnlyFoldersHold()
{
#ifdef Q_OS_WIN
    return false;
#else
    return ::geteuid() != 0;
#endif
}

#ifndef Q_OS_WIN
// Leaves a socket file behind with nobody listening, as a crashed process does.
bool makeAbandonedSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    qstrncpy(address.sun_path, encoded.constData(), sizeof(address.sun_path));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
}
#endif

} // namespace

// Runs the real executable from a temporary application folder.
class TestEntryPoint : public QObject
{
    Q_OBJECT
    TempInstallation m_install;
    QString m_updater;

    ProcessResult run(const QStringList& arguments) { return runProcess(m_updater, arguments); }
    QString todaysLog() const
    {
        const QDate today = QDate::currentDate();
        return QString::fromUtf8(
            m_install.readFile(QStringLiteral("log/%1/VaDeroru_[Info]_log_%2.txt")
                                   .arg(today.toString("yyyyMMdd"), today.toString("yyyy-MM-dd"))));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_install.isValid());
        m_updater = m_install.installExecutable(QStringLiteral(VADERORU_EXE));
    }
    void init() { QDir(m_install.filePath("log")).removeRecursively(); }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no arguments") << QStringList{} << 0;
        QTest::newRow("two arguments") << QStringList{"check", "root"} << 0;
        QTest::newRow("neither mode, capitals") << QStringList{"Check", "root", "main"} << 0;
        QTest::newRow("neither mode") << QStringList{"UPDATE", "root", "main"} << 0;
    }
    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const ProcessResult result = run(arguments);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, exitCode);
    }

    void logsItsArgumentsFirst()
    {
        run({"a", "b"});
        // As the log quotes it: the program in the system's spelling, any
        // backslash doubled.
        QString expected;
        QDebug(&expected).nospace()
            << QStringLiteral("Update arg: %1,a,b,").arg(QDir::toNativeSeparators(m_updater));
        const QRegularExpression line(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d:\\d{3} %1%2$")
                                          .arg(QRegularExpression::escape(expected), kLineEnd));
        QVERIFY2(line.match(todaysLog()).hasMatch(), qPrintable(todaysLog()));
    }

    // token_holder holds an installation's lock as a running updater does.
    void instanceLock_data()
    {
        QTest::addColumn<bool>("otherInstallation");
        QTest::addColumn<bool>("otherTmpdir");
        QTest::addColumn<bool>("holderKilled");
        QTest::addColumn<bool>("holderChild");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("same installation") << false << false << false << false << kRefused;
        QTest::newRow("same installation, other TMPDIR")
            << false << true << false << false << kRefused;
        QTest::newRow("other installation") << true << false << false << false << 0;
        QTest::newRow("left by a killed updater") << false << false << true << false << 0;
        QTest::newRow("left by a killed updater, its child running on")
            << false << false << true << true << 0;
    }
    void instanceLock()
    {
        QFETCH(bool, otherInstallation);
        QFETCH(bool, otherTmpdir);
        QFETCH(bool, holderKilled);
        QFETCH(bool, holderChild);
        QFETCH(int, exitCode);
        TempInstallation other;
        const QString lockedInstallation = otherInstallation ? other.path() : m_install.path();
        QStringList holderArguments{layout::pathIn(lockedInstallation, layout::kInstanceLock)};
        if (holderChild)
            holderArguments << QStringLiteral("--with-child");
        QProcess holder;
        holder.start(QStringLiteral(TOKEN_HOLDER_EXE), holderArguments);
        const auto endHolder = qScopeGuard([&holder] {
            holder.kill();
            holder.waitForFinished();
        });
        QVERIFY(holder.waitForReadyRead(5000));
        const QList<QByteArray> said = holder.readAll().trimmed().split(' ');
        QCOMPARE(said.value(0), QByteArray("holding"));
        // The child is detached; only its program file names it.
        const auto endChild = qScopeGuard(
            [] { platform::stopProcessesByExecutable(QStringLiteral(TOKEN_HOLDER_EXE)); });
        if (holderKilled) {
            holder.kill();
            holder.waitForFinished();
        }

        QTemporaryDir tmpdir;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (otherTmpdir)
            environment.insert(QStringLiteral("TMPDIR"), tmpdir.path());
        const ProcessResult result = runProcess(m_updater, {"update", "root", "main"}, environment);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY(todaysLog().contains("Update arg:"));
    }

    // A journal that crash recovery would set aside tells whether it ran.
    void unlockableInstallationIsLeftAlone_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<int>("error");
        QTest::newRow("nothing in the way") << "" << 0;
        QTest::newRow("read-only downloads folder") << "read-only" << EACCES;
        QTest::newRow("a folder in the lock's place") << "folder" << kLockIsAFolder;
    }
    void unlockableInstallationIsLeftAlone()
    {
        QFETCH(QString, obstacle);
        QFETCH(int, error);
        if (obstacle == QLatin1String("read-only") && !readOnlyFoldersHold())
            QSKIP("read-only folders do not stop this process from writing");
        const QString downloads = m_install.filePath(layout::kDownloadsFolder);
        const auto clearDownloads = qScopeGuard([&downloads] {
            QFile::setPermissions(downloads, QFile::ReadOwner | QFile::WriteOwner |
                                                 QFile::ExeOwner | QFile::ReadUser |
                                                 QFile::WriteUser | QFile::ExeUser);
            QDir(downloads).removeRecursively();
        });
        const QByteArray journal("not a journal");
        m_install.writeFile(layout::kJournal, journal);
        if (obstacle == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(m_install.filePath(layout::kInstanceLock)));
        if (obstacle == QLatin1String("read-only"))
            QVERIFY(QFile::setPermissions(downloads, QFile::ReadOwner | QFile::ExeOwner |
                                                         QFile::ReadUser | QFile::ExeUser));

        const ProcessResult result = run({"update", "root", "main"});
        QCOMPARE(result.exitCode, 0);
        const QString reason = QStringLiteral("%1: %2").arg(QLatin1String(layout::kInstanceLock),
                                                            qt_error_string(error));
        QCOMPARE(todaysLog().contains(reason), error != 0);
        QCOMPARE(m_install.readFile(layout::kJournal) == journal, error != 0);
    }

    void abandonedLogServerNameIsTakenOver()
    {
#ifdef Q_OS_WIN
        QSKIP("a Windows pipe name ends with its last handle; nothing is left to take over");
#else
        const QString socketPath = QDir::tempPath() + QLatin1Char('/') + kLogServer;
        QFile::remove(socketPath);
        QVERIFY(makeAbandonedSocket(socketPath));
        const ProcessResult result = run({"a"});
        QVERIFY(!result.standardError.contains("Unable to start the server"));
        QFile::remove(socketPath);
#endif
    }

    void liveLogServerIsLeftAlone()
    {
        QLocalServer live;
        QVERIFY(live.listen(kLogServer));
        const ProcessResult result = run({"a"});
        QVERIFY2(result.standardError.contains("Unable to start the server: "),
                 result.standardError.constData());
        QVERIFY(live.isListening());
        QLocalSocket client;
        client.connectToServer(kLogServer);
        QVERIFY(client.waitForConnected(1000));
    }
};

QTEST_GUILESS_MAIN(TestEntryPoint)
#include "tst_entrypoint.moc"
