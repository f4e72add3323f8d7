#include "config/ConfigIni.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <unistd.h>

// The application directory is this test's own folder, so the files it
// writes there are removed around every case.
class TestConfigIni : public QObject
{
    Q_OBJECT
private:
    void writeIni(const QString& path, const QString& group, const QString& key,
                  const QString& value)
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setIniCodec(QTextCodec::codecForName("utf8"));
        settings.setValue(group + QLatin1Char('/') + key, value);
    }
    void removeFiles()
    {
        QFile::remove(mainConfigPath());
        QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/config"))
            .removeRecursively();
    }

private slots:
    void init() { removeFiles(); }
    void cleanup() { removeFiles(); }

    void pathsAreBesideTheExecutable()
    {
        const QString dir = QCoreApplication::applicationDirPath();
        QCOMPARE(mainConfigPath(), dir + QStringLiteral("/config.ini"));
        QCOMPARE(namedConfigPath(QStringLiteral("system.ini")),
                 dir + QStringLiteral("/config/system.ini"));
    }

    void defaultAddressKeepsTheProbeForm()
    {
        const QString address = defaultServiceAddress();
        QVERIFY(address.startsWith(QStringLiteral("http://")));
        const QString host = address.mid(7);
        QVERIFY(!host.isEmpty());
        QVERIFY(!host.contains(QLatin1Char(':')) && !host.contains(QLatin1Char('/')));
    }

    void readMainValue_data()
    {
        QTest::addColumn<bool>("writeFile");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no file") << false << QString() << "80";
        QTest::newRow("empty value") << true << ""
                                     << "80";
        QTest::newRow("value") << true << "8080"
                               << "8080";
        QTest::newRow("utf-8") << true << QStringLiteral("端口") << QStringLiteral("端口");
    }
    void readMainValue()
    {
        QFETCH(bool, writeFile);
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        if (writeFile)
            writeIni(mainConfigPath(), "Version", "ServicePort", stored);
        QCOMPARE(readConfigValue("Version", "ServicePort", "80"), expected);
    }

    void writeThenRead()
    {
        writeConfigValue("Version", "Version", "2.1.0");
        QCOMPARE(readConfigValue("Version", "Version", ""), QStringLiteral("2.1.0"));
        writeConfigValue("Version", "Version", QStringLiteral("三"));
        QCOMPARE(readConfigValue("Version", "Version", ""), QStringLiteral("三"));
    }

    // Qt answers a read of the same path from its in-process copy, unsaved
    // value included, so only a read of the disk shows the failed write.
    void unwritableFileFailsTheWrite()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.ini");
        writeIni(path, "Version", "Version", "1.0.0");
#ifdef _WIN32
        QSKIP("played by chattr or by folder modes, neither of which Windows has");
#else
        const bool root = geteuid() == 0;
        if (root && QProcess::execute("chattr", {"+i", path}) != 0)
            QSKIP("chattr +i is not supported here");
        if (!root)
            QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
        const bool written = writeIniFileValue(path, "Version", "Version", "2.0.0");
        QProcess::execute("chattr", {"-i", path});
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!written);
        QFile onDisk(path);
        QVERIFY(onDisk.open(QIODevice::ReadOnly));
        QVERIFY(onDisk.readAll().contains("Version=1.0.0"));
#endif
    }

    void writeKeepsOtherKeys()
    {
        writeIni(mainConfigPath(), "Version", "ServiceIP", "http://127.0.0.1");
        writeConfigValue("Version", "Version", "2");
        QCOMPARE(readConfigValue("Version", "ServiceIP", ""), QStringLiteral("http://127.0.0.1"));
    }

    void readNamedFile_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::newRow("known code") << "zh_CN";
        QTest::newRow("unknown code kept as stored") << "fr_FR";
    }
    void readNamedFile()
    {
        QFETCH(QString, stored);
        writeIni(namedConfigPath("system.ini"), "BaseSetting", "LangType", stored);
        QCOMPARE(readConfigFileValue("BaseSetting", "LangType", "", "system.ini"), stored);
        QCOMPARE(readConfigFileValue("BaseSetting", "LangType", "x", "other.ini"),
                 QStringLiteral("x"));
    }
};

QTEST_GUILESS_MAIN(TestConfigIni)
#include "tst_configini.moc"
