// The reachability probe with the system's ping and with stand-ins for it put
// first on PATH, so slow and silent hosts can be played without a network.
#include "update/Update.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList g_lines;

void collect(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_lines.append(message);
}

const char* const kReplyLine = "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms";

} // namespace

class TestPingServer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_standIns;
    QByteArray m_systemPath;

    void useStandIn(const QString& body)
    {
        const QString path = m_standIns.filePath("ping");
        QFile script(path);
        QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write("#!/bin/sh\necho \"$@\" > \"" + m_standIns.filePath("args").toUtf8() + "\"\n" +
                     body.toUtf8() + "\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                              QFileDevice::ExeOwner);
        qputenv("PATH", QFile::encodeName(m_standIns.path()) + ":" + m_systemPath);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_standIns.isValid());
        m_systemPath = qgetenv("PATH");
        qInstallMessageHandler(collect);
    }
    void init()
    {
        g_lines.clear();
        qputenv("PATH", m_systemPath);
    }

    void result_data()
    {
        QTest::addColumn<QString>("standIn");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("reachable");

        const QString reply = QString("echo '%1'").arg(kReplyLine);
        QTest::newRow("reply at once") << reply + "; exec sleep 5"
                                       << "http://127.0.0.1" << true;
        QTest::newRow("reply in capitals") << "echo 'Reply from 10.0.0.1: TTL=128'"
                                           << "http://10.0.0.1" << true;
        QTest::newRow("reply after the wait")
            << "sleep 1.5; " + reply << "http://127.0.0.1" << false;
        QTest::newRow("no reply") << "echo 'PING 127.0.0.1'; exec sleep 5"
                                  << "http://127.0.0.1" << false;
        QTest::newRow("unknown host") << "echo 'ping: bad: Name or service not known' >&2; exit 2"
                                      << "http://bad" << false;
        QTest::newRow("system ping, loopback") << QString() << "http://127.0.0.1" << true;
        QTest::newRow("system ping, port left out") << QString() << "http://127.0.0.1:8080" << true;
        QTest::newRow("system ping, https and port left out")
            << QString() << "https://127.0.0.1:8443" << true;
    }
    void result()
    {
        QFETCH(QString, standIn);
        QFETCH(QString, address);
        QFETCH(bool, reachable);
        if (!standIn.isEmpty())
            useStandIn(standIn);

        Update window(true);
        QCOMPARE(window.pingServer(address), reachable);
        // Streamed strings arrive quoted, as in the log files.
        QCOMPARE(g_lines.value(g_lines.size() - 1),
                 QString::fromUtf8("\"Update: ping通服务器 %1\"").arg(reachable ? 1 : 0));
    }

    void noPingProgramIsUnreachable()
    {
        qputenv("PATH", QFile::encodeName(m_standIns.path() + "/nothing-here"));
        Update window(true);
        QVERIFY(!window.pingServer("http://127.0.0.1"));
    }

    void sendsTwoRequestsToTheBareHost_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("host"); // empty: ping must not run at all
        QTest::newRow("http") << "http://192.0.2.7"
                              << "192.0.2.7";
        QTest::newRow("no scheme") << "192.0.2.7"
                                   << "192.0.2.7";
        QTest::newRow("https, port and path") << "https://update.example:8443/x"
                                              << "update.example";
        QTest::newRow("IPv6 with port") << "http://[2001:db8::7]:80"
                                        << "2001:db8::7";
        QTest::newRow("host read as an option") << "http://-oProxy=1"
                                                << "";
        QTest::newRow("no host") << "https://"
                                 << "";
    }
    void sendsTwoRequestsToTheBareHost()
    {
        QFETCH(QString, address);
        QFETCH(QString, host);
        useStandIn(QString("echo '%1'").arg(kReplyLine));
        QFile::remove(m_standIns.filePath("args"));
        Update window(true);
        QCOMPARE(window.pingServer(address), !host.isEmpty());
        QFile args(m_standIns.filePath("args"));
        QCOMPARE(args.open(QIODevice::ReadOnly), !host.isEmpty());
        if (!host.isEmpty())
            QCOMPARE(QString::fromUtf8(args.readAll().trimmed()), "-c 2 -W 1 " + host);
    }
};

QTEST_MAIN(TestPingServer)
#include "tst_pingserver.moc"
