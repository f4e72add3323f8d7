#include "log/LogHandler.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QDateTime at(const QString& text)
{
    return QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

QString readText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Text)
               ? QString::fromUtf8(file.readAll())
               : QStringLiteral("<missing %1>").arg(path);
}

// A log console: collects the records the handler streams to it.
class Console
{
public:
    Console() { m_socket.connectToServer(QStringLiteral("DLQ_M31_LogServer")); }
    bool connected() { return m_socket.waitForConnected(2000); }
    void disconnect()
    {
        m_socket.disconnectFromServer();
        m_socket.close();
    }
    // Reads until `count` records have arrived (or two seconds pass).
    QList<QByteArray> records(int count)
    {
        for (int i = 0; i < 200 && m_buffer.count("$end$") < count; ++i) {
            QTest::qWait(10);
            m_buffer += m_socket.readAll();
        }
        QList<QByteArray> result;
        int start = 0;
        while (true) {
            const int end = m_buffer.indexOf("$end$", start);
            if (end < 0)
                break;
            result.append(m_buffer.mid(start, end - start));
            start = end + 5;
        }
        return result;
    }

private:
    QLocalSocket m_socket;
    QByteArray m_buffer;
};

} // namespace

class TestLogHandler : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    LogHandler* m_handler = nullptr;

    void setClock(const QString& time)
    {
        const QDateTime now = at(time);
        m_handler->setClock([now] { return now; });
    }
    QString file(const QString& day, const QString& stem, const QString& label,
                 const QString& date) const
    {
        return QStringLiteral("%1/%2/%3_%4_log_%5.txt").arg(m_dir.path(), day, stem, label, date);
    }

private slots:
    void initTestCase()
    {
        m_handler = LogHandler::instance();
        QCOMPARE(LogHandler::instance(), m_handler);
        m_handler->m_writeFile = true;
        m_handler->setPath(m_dir.path());
        m_handler->start();
    }
    void cleanupTestCase() { m_handler->stop(); }

    void defaultsFollowTheExecutable()
    {
        QCOMPARE(LogHandler::logPath(QString()),
                 QCoreApplication::applicationDirPath() + QStringLiteral("/log"));
        QCOMPARE(LogHandler::msgTypeLabel(Info), QStringLiteral("[Info]"));
        QCOMPARE(LogHandler::msgTypeLabel(SerialPortRead), QString());
    }

    void lineFormatAndFile_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << "Update: 启动主程序"
                               << "[Info]"
                               << "05:06:07:089 \"Update: 启动主程序\"\n";
        QTest::newRow("serial read") << "[SerialPortRead]abc"
                                     << ""
                                     << "05:06:07:089 \"abc\"\n";
        QTest::newRow("serial write") << "[SerialPortWrite]x"
                                      << ""
                                      << "05:06:07:089 \"x\"\n";
        QTest::newRow("prefix not at start") << "a[SerialPortRead]"
                                             << "[Info]"
                                             << "05:06:07:089 \"a[SerialPortRead]\"\n";
    }
    void lineFormatAndFile()
    {
        QFETCH(QString, message);
        QFETCH(QString, label);
        QFETCH(QString, line);
        setClock("2026-03-04 05:06:07.089");
        const QString path = file("20260304", "tst_loghandler", label, "2026-03-04");
        const int before =
            readText(path).startsWith(QLatin1String("<missing")) ? 0 : readText(path).size();
        qInfo() << message;
        QCOMPARE(readText(path).mid(before), line);
    }

    void onlyInfoIsRecorded()
    {
        setClock("2026-03-05 10:00:00.000");
        const QString path = file("20260305", "tst_loghandler", "[Info]", "2026-03-05");
        qDebug() << QStringLiteral("debug");
        qWarning() << QStringLiteral("warning");
        qInfo();
        qInfo() << QStringLiteral("info");
        QCOMPARE(readText(path), QStringLiteral("10:00:00:000 \n10:00:00:000 \"info\"\n"));
    }

    void rollsOverAtMidnightAndOnRename()
    {
        setClock("2026-03-06 23:59:59.999");
        qInfo() << QStringLiteral("late");
        setClock("2026-03-07 00:00:00.001");
        qInfo() << QStringLiteral("early");
        m_handler->setName(QStringLiteral("tool"));
        qInfo() << QStringLiteral("renamed");
        m_handler->setName(QStringLiteral("tst_loghandler"));
        QCOMPARE(readText(file("20260306", "tst_loghandler", "[Info]", "2026-03-06")),
                 QStringLiteral("23:59:59:999 \"late\"\n"));
        QCOMPARE(readText(file("20260307", "tst_loghandler", "[Info]", "2026-03-07")),
                 QStringLiteral("00:00:00:001 \"early\"\n"));
        QCOMPARE(readText(file("20260307", "tool", "[Info]", "2026-03-07")),
                 QStringLiteral("00:00:00:001 \"renamed\"\n"));
    }

    // Another updater's line, written between two of ours, stays: Windows
    // gives each handle its own position, which Qt's Append mode only sets
    // to the end when it opens the file.
    void linesOfAnotherProcessStay()
    {
        setClock("2026-03-08 08:00:00.000");
        qInfo() << QStringLiteral("ours");
        const QString path = file("20260308", "tst_loghandler", "[Info]", "2026-03-08");
        QFile other(path);
        QVERIFY(other.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text));
        other.write("another updater's\n");
        other.close();
        qInfo() << QStringLiteral("ours again");
        QCOMPARE(readText(path), QStringLiteral("08:00:00:000 \"ours\"\nanother updater's\n"
                                                "08:00:00:000 \"ours again\"\n"));
    }

    void consolesReceiveEveryRecordInOrder()
    {
        QTest::qWait(150); // earlier lines drain before the consoles connect
        setClock("2026-03-08 08:00:00.000");
        Console first, second;
        QVERIFY(first.connected());
        QVERIFY(second.connected());
        QTest::qWait(50); // let the server accept both
        qInfo() << QStringLiteral("one");
        qInfo() << QStringLiteral("[SerialPortWrite]two");
        qInfo() << QStringLiteral("three $end$ inside");
        const QByteArray expectedFirst = "{\"text\":\"08:00:00:000 \\\"one\\\"\",\"type\":0}";
        for (Console* console : {&first, &second}) {
            const QList<QByteArray> records = console->records(4);
            QCOMPARE(records.size(), 4);
            QCOMPARE(records.at(0), expectedFirst);
            const QJsonObject second = QJsonDocument::fromJson(records.at(1)).object();
            QCOMPARE(second.value("type").toInt(), int(SerialPortWrite));
            QCOMPARE(second.value("text").toString(), QStringLiteral("08:00:00:000 \"two\""));
            // The marker is not escaped: a line holding it arrives in two pieces.
            QVERIFY(records.at(2).endsWith("three "));
        }
    }

    void socketIsTheUsersOnly()
    {
        auto* server = m_handler->findChild<QLocalServer*>();
        QVERIFY(server);
        const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                          QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFileInfo(server->fullServerName()).permissions() & others, QFile::Permissions());
    }

    // Today is 2026-03-31.
    void expiredDaysAreRemovedAtStart_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("kept");
        QTest::newRow("31 days old") << "20260228"
                                     << "folder" << false;
        QTest::newRow("a year old") << "20250331"
                                    << "folder" << false;
        QTest::newRow("30 days old") << "20260301"
                                     << "folder" << true;
        QTest::newRow("a later day") << "20260415"
                                     << "folder" << true;
        QTest::newRow("not a date") << "notes"
                                    << "folder" << true;
        QTest::newRow("no such day") << "20250231"
                                     << "folder" << true;
        QTest::newRow("date with a suffix") << "20250101-old"
                                            << "folder" << true;
        QTest::newRow("file named as an old day") << "20250102"
                                                  << "file" << true;
        QTest::newRow("link named as an old day") << "20250103"
                                                  << "link" << true;
    }
    void expiredDaysAreRemovedAtStart()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(bool, kept);
        QTemporaryDir elsewhere;
        const QString outside = elsewhere.filePath(QStringLiteral("kept.txt"));
        QFile outsideFile(outside);
        QVERIFY(outsideFile.open(QIODevice::WriteOnly));
        outsideFile.close();
        const QString entry = m_dir.filePath(name);
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(entry));
            QVERIFY(QFile::copy(outside, entry + QStringLiteral("/VaDeroru_[Info]_log.txt")));
        }
        if (kind == QLatin1String("file"))
            QVERIFY(QFile::copy(outside, entry));
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(elsewhere.path(), entry));

        setClock("2026-03-31 12:00:00.000");
        m_handler->start();
        QCOMPARE(QFileInfo::exists(entry), kept);
        QVERIFY(QFileInfo::exists(outside));
    }

    void goneConsoleIsDropped()
    {
        auto* server = m_handler->findChild<QLocalServer*>();
        QVERIFY(server);
        Console staying, leaving;
        QVERIFY(staying.connected());
        QVERIFY(leaving.connected());
        QTest::qWait(50);
        leaving.disconnect();
        QTest::qWait(50);
        qInfo() << QStringLiteral("after");
        QCOMPARE(staying.records(1).size(), 1);
        // Every console that went away (also those of earlier cases) is gone.
        QTRY_COMPARE(server->findChildren<QLocalSocket*>().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
