#include "support/TempInstallation.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kLogServer = QStringLiteral("DLQ_M31_LogServer");

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
        const QString expected = m_updater + QStringLiteral(",a,b,");
        const QRegularExpression line(
            QStringLiteral("^\\d\\d:\\d\\d:\\d\\d:\\d{3} \"Update arg: %1\"\n$")
                .arg(QRegularExpression::escape(expected)));
        QVERIFY2(line.match(todaysLog()).hasMatch(), qPrintable(todaysLog()));
    }

    void secondInstanceExitsAtOnce()
    {
        QProcess holder;
        holder.start(QStringLiteral(TOKEN_HOLDER_EXE), {QStringLiteral("VaDeroru")});
        QVERIFY(holder.waitForReadyRead(5000));
        QCOMPARE(holder.readAll().trimmed(), QByteArray("holding"));

        const ProcessResult second = run({"update", "root", "main"});
        QCOMPARE(second.exitCode, 255); // -1 as the system reports it
        QVERIFY(todaysLog().contains("Update arg:"));

        // A token left by a killed updater does not block the next start.
        holder.kill();
        holder.waitForFinished();
        const ProcessResult next = run({"update", "root", "main"});
        QCOMPARE(next.exitCode, 0);
    }

    void abandonedLogServerNameIsTakenOver()
    {
        const QString socketPath = QDir::tempPath() + QLatin1Char('/') + kLogServer;
        QFile::remove(socketPath);
        QVERIFY(makeAbandonedSocket(socketPath));
        const ProcessResult result = run({"a"});
        QVERIFY(!result.standardError.contains("Unable to start the server"));
        QFile::remove(socketPath);
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
