// The whole updater as a process: the test driver (the real entry point plus a
// scripted user) in a temporary installation, the real cloudservice, and a
// stand-in main program that records how it was started.
#include "config/FileUtils.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"
#include "support/CloudServiceProcess.h"
#include "support/FileTree.h"
#include "support/PosixAccess.h"
#include "support/SmallDisk.h"
#include "support/SquidProxy.h"
#include "support/TempInstallation.h"
#include "support/TestPackage.h"
#include "trust/SignedEnvelope.h"
#include "trust/SignedRelease.h"
#include "trust/SigningKey.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <memory>
#include <mutex>
#include <thread>

namespace {

#ifdef Q_OS_WIN
const QString kMain = "FlowMain.exe";
#else
const QString kMain = "FlowMain";
#endif
const QString kRoot = "FlowApp";

// Answers every version check with one fixed body, for answers the real
// service never gives, and serves a package that never ends and one that
// comes gzip-encoded although the client asked for none.
class CannedService
{
public:
    explicit CannedService(const QByteArray& body, const QByteArray& gzipped = QByteArray())
    {
        const std::string encoded = gzipped.toStdString();
        m_server.Get("/gzip.zip", [encoded](const httplib::Request&, httplib::Response& response) {
            response.set_header("Content-Encoding", "gzip");
            response.set_content(encoded, "application/zip");
        });
        const std::string answer = body.toStdString();
        m_server.Post("/cloudService/version/checkVersion",
                      [this, answer](const httplib::Request& request, httplib::Response& response) {
                          see("check id=" + request.get_header_value("X-Installation-Id"));
                          response.set_content(answer, "application/json");
                      });
        // Turns every report away, as a service that is down would.
        m_server.Post("/cloudService/update/report",
                      [this](const httplib::Request& request, httplib::Response& response) {
                          see("report id=" + request.get_header_value("X-Installation-Id") +
                              " sign=" + request.get_header_value("sign") + " " + request.body);
                          response.status = 503;
                      });
        m_server.Get("/endless.zip", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("application/zip",
                                                  [](size_t, httplib::DataSink& sink) {
                                                      static const std::string block(65536, 'e');
                                                      return sink.write(block.data(), block.size());
                                                  });
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~CannedService()
    {
        m_server.stop();
        m_thread.join();
    }
    int port() const { return m_port; }
    QStringList seen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

private:
    void see(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.append(QString::fromStdString(line));
    }

    std::mutex m_mutex;
    QStringList m_seen;
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
};

QByteArray release(const QString& version, const QString& url, bool mandatory)
{
    QJsonObject notes{{"en_US", "Faster start.\nFewer crashes."},
                      {"zh_CN", QString::fromUtf8("启动更快。\n崩溃更少。")},
                      {"default", "Release notes."}};
    QJsonObject entry{{"version", version}, {"url", url}, {"notes", notes}};
    if (mandatory)
        entry.insert("mandatory", true);
    return QJsonDocument(entry).toJson(QJsonDocument::Compact);
}

QByteArray catalog(const QString& versionType, const QByteArray& releaseJson)
{
    return QString("{\"softwareRoots\":{\"%1\":{\"%2\":{\"releases\":[%3]}}}}")
        .arg(kRoot, versionType, QString::fromUtf8(releaseJson))
        .toUtf8();
}

} // namespace

class TestUpdateFlow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TempInstallation> m_install;
    std::unique_ptr<CloudServiceProcess> m_service;
    std::unique_ptr<QProcess> m_main;
    QTemporaryDir m_work;
    QString m_driver;
    std::unique_ptr<SmallDisk> m_smallDisk; // for the cases that fill a disk

    QString packagesFolder() const { return m_work.filePath("packages"); }

    // The watcher, a copy of the updater in the work folder, looks for Qt's
    // plugins in the installation only, where a Windows setup puts them.
    void installPlatformPlugin()
    {
#ifdef Q_OS_WIN
        const QString plugin = "platforms/qoffscreen.dll";
        QDir().mkpath(m_install->filePath("platforms"));
        QFile::copy(QFileInfo(UPDATE_DRIVER_EXE).dir().filePath(plugin),
                    m_install->filePath(plugin));
#endif
    }

    // The installation, without what the updater and the main program write
    // beside it.
    FileTree installationTree() const
    {
        return snapshotTree(m_install->path(), {"downloads", "log", kMain + ".args",
                                                kMain + ".args.part", "initial.args"});
    }

    void configure(int port, const QString& version, const QString& language = "en_US")
    {
        m_install->setIni("config.ini", "Version", "ServiceIP", "http://127.0.0.1");
        m_install->setIni("config.ini", "Version", "ServicePort", QString::number(port));
        m_install->setIni("config.ini", "Version", "Version", version);
        m_install->setIni("config/system.ini", "BaseSetting", "LangType", language);
        // Without a watch unless a test asks for one: it would keep each
        // update's end a minute away.
        m_install->setIni("config.ini", "Update", "HealthSeconds", "0");
    }

    bool startService(const QByteArray& catalogJson, const QStringList& extra = {})
    {
        const QString catalogPath = m_work.filePath("catalog.json");
        QFile file(catalogPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(catalogJson);
        file.close();
        m_service = std::make_unique<CloudServiceProcess>();
        const bool started = m_service->start(
            QStringList{"--catalog", catalogPath, "--packages", packagesFolder()} + extra,
            m_work.filePath("service.log"));
        if (!started)
            qWarning("%s", qPrintable(m_service->startError()));
        return started;
    }

    // A package of `files` (path -> content) in the packages folder.
    void makePackage(const QString& name, const QMap<QString, QByteArray>& files)
    {
        QString errorText;
        QVERIFY2(writeTestPackage(QDir(packagesFolder()).filePath(name), files, errorText),
                 qPrintable(errorText));
    }

    ProcessResult
    runDriver(const QStringList& arguments, const QString& script,
              QProcessEnvironment environment = QProcessEnvironment::systemEnvironment())
    {
        environment.insert("UPDATE_DRIVER_SCRIPT", script);
        environment.remove("FAKE_MAIN_RECORD");
        return runProcess(m_driver, arguments, environment, 60000);
    }

    // Its lines, whatever line ends the system gives text output.
    QStringList reports(const ProcessResult& result) const
    {
        return QString::fromUtf8(result.standardOutput)
            .remove('\r')
            .split('\n', Qt::SkipEmptyParts);
    }

    // Today's log in the installation, or below `folder`.
    QString log(const QString& folder = QString()) const
    {
        const QDate today = QDate::currentDate();
        const QString relative = QString("log/%1/VaDeroru_[Info]_log_%2.txt")
                                     .arg(today.toString("yyyyMMdd"), today.toString("yyyy-MM-dd"));
        return QString::fromUtf8(folder.isEmpty() ? m_install->readFile(relative)
                                                  : fileContent(folder + "/" + relative));
    }

    // The watch has cleared the work folder: all of it, but on Windows the
    // watcher's own copy, which cannot go while it runs; the next start drops
    // it.
    bool watchEnded() const
    {
        const QString work = m_install->filePath("downloads/update");
#ifdef Q_OS_WIN
        const QStringList left = snapshotTree(work).keys();
        return left == QStringList{"/watcher", "/watcher/" + platform::updaterFileName()};
#else
        return !QFileInfo::exists(work);
#endif
    }

    static QString quoted(const char* text) { return "\"" + QString::fromUtf8(text) + "\""; }

    QStringList restartRecord() const
    {
        return QString::fromUtf8(m_install->readFile(kMain + ".args"))
            .remove('\r')
            .split('\n', Qt::SkipEmptyParts);
    }

    // The main program as the user started it, before the updater runs.
    QProcess* startMain()
    {
        m_main = std::make_unique<QProcess>();
        QProcess* main = m_main.get();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("FAKE_MAIN_RECORD", m_install->filePath("initial.args"));
        main->setProcessEnvironment(environment);
        main->start(m_install->filePath(kMain), QStringList());
        main->waitForStarted();
        return main;
    }

private slots:
    void initTestCase() { QVERIFY(m_work.isValid()); }

    void init()
    {
        m_install = std::make_unique<TempInstallation>();
        QVERIFY(m_install->isValid());
        m_driver = m_install->installExecutable(UPDATE_DRIVER_EXE, platform::updaterFileName());
        m_install->installExecutable(FAKE_MAIN_EXE, kMain);
        installPlatformPlugin();
        QDir(packagesFolder()).removeRecursively();
        QDir().mkpath(packagesFolder());
        // The service's reports would add up across rows, and halt the
        // release the rows share.
        QFile::remove(m_work.filePath("cloudservice.sqlite"));
    }

    void cleanup()
    {
        m_service.reset();
        if (m_main) {
            m_main->kill();
            m_main->waitForFinished();
            m_main.reset();
        }
        // Main programs the updater started are nobody's children here.
        killProcess(kMain.toStdString());
        m_install.reset();
        m_smallDisk.reset();
    }

    void endsWithoutOffer_data();
    void endsWithoutOffer();
    void offerShowsVersionsAndNotes_data();
    void offerShowsVersionsAndNotes();
    void forcedOfferStopsMainProgram_data();
    void forcedOfferStopsMainProgram();
    void fullUpdate();
    void healthWatch_data();
    void healthWatch();
    void workFolderLinksAreNotFollowed_data();
    void workFolderLinksAreNotFollowed();
    void failedDownloadReturnsToOffer_data();
    void failedDownloadReturnsToOffer();
    void blockedTargetRollsBack();
    void brokenPackageLeavesInstallation_data();
    void brokenPackageLeavesInstallation();
    void failsClosed_data();
    void failsClosed();
    void signedUpdate_data();
    void signedUpdate();
    void throughProxy_data();
    void throughProxy();
    void elevatedInstall_data();
    void elevatedInstall();

private:
    bool useSmallDisk(int freeMebibytes);
    QString signingKey(const QString& name) const { return m_work.filePath("keys/" + name); }
    void publish(const QStringList& arguments)
    {
        const ProcessResult result = runProcess(PUBLISH_EXE, arguments);
        QVERIFY2(result.finished && result.exitCode == 0, result.standardError.constData());
    }
    void publishSignedRelease(const QString& change);
    void publishDelta(const QByteArray& oldA);
    void resignExpired(const QString& releaseFile, const QString& keyFile);
    QByteArray signedCatalog(const QString& change, const QString& url);
    QStringList tlsOptions();
    void usePingStandIn(const QString& behaviour);
    void useAnsweringPing();
    void useSilentPing(QProcessEnvironment& environment);
    void checkReportWaits(const QStringList& seen);
    void checkReported(const QStringList& outcomes);
};

void TestUpdateFlow::endsWithoutOffer_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("updateMode");
    QTest::addColumn<QString>("boxStatus");
    QTest::addColumn<QString>("boxContent");
    QTest::addColumn<QString>("logLine");

    const QString unreachable = QString::fromUtf8("无法连接到服务器");
    const QString latest = QString::fromUtf8("已是最新版本");
    struct Case
    {
        const char* situation;
        const char* status;
        const char* content;
        QString logLine;
    };
    const Case cases[] = {
        {"unreachable", "INFO", "Unable to connect to server", unreachable},
        {"query failed", "INFO", "Query program version error, unable to update temporarily",
         unreachable},
        {"up to date", "SUCCESS", "It's the latest version", latest},
        {"ping blocked", "SUCCESS", "It's the latest version", latest},
        {"forced but not needed", "SUCCESS", "It's the latest version", latest},
        {"success without data", "SUCCESS", "It's the latest version", latest},
        {"markup as version", "INFO", "Query program version error, unable to update temporarily",
         unreachable},
        {"untrusted certificate", "INFO", "The server's certificate is not trusted",
         "the service's certificate is not trusted"},
        {"forced, empty address", "INFO",
         "Query program version error, unable to update temporarily", unreachable},
        {"forced, broken address", "INFO",
         "Query program version error, unable to update temporarily", unreachable},
    };
    for (const Case& c : cases) {
        QTest::addRow("%s, check", c.situation)
            << c.situation << false << c.status << c.content << "Update: " + c.logLine;
        QTest::addRow("%s, update", c.situation) << c.situation << true << ""
                                                 << ""
                                                 << "";
    }
}

void TestUpdateFlow::endsWithoutOffer()
{
    QFETCH(QString, situation);
    QFETCH(bool, updateMode);
    QFETCH(QString, boxStatus);
    QFETCH(QString, boxContent);
    QFETCH(QString, logLine);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    std::unique_ptr<CannedService> canned;
    const bool pingHeard = situation != "unreachable" && situation != "ping blocked";
    if (pingHeard)
        useAnsweringPing();
    if (!pingHeard) {
        // A ping that never hears a reply stands for a host that is down, or
        // for a network that blocks ICMP.
        useSilentPing(environment);
        configure(9, "1.0.0");
        if (situation == "ping blocked") {
            QVERIFY(startService(catalog("general", release("2.0.0", "/packages/p.zip", true))));
            configure(m_service->port(), "2.0.0");
        }
    } else if (situation == "query failed") {
        configure(9, "1.0.0"); // nothing listens on the discard port
    } else if (situation == "untrusted certificate") {
        QVERIFY(startService(catalog("general", release("2.0.0", "/packages/p.zip", true)),
                             tlsOptions()));
        configure(m_service->port(), "1.0.0");
        m_install->setIni("config.ini", "Version", "ServiceIP", "https://127.0.0.1");
        QFile::remove(m_install->filePath("config/cacert.pem"));
    } else if (situation == "up to date") {
        QVERIFY(startService(catalog("general", release("2.0.0", "/packages/p.zip", true))));
        configure(m_service->port(), "2.0.0");
    } else {
        const QByteArray forced = ",\"data\":{\"needUpdate\":true,\"forceUpdate\":true,"
                                  "\"version\":\"2.0\",\"url\":";
        const QByteArray data =
            situation == "success without data" ? QByteArray()
            : situation == "markup as version"
                ? QByteArray(",\"data\":{\"needUpdate\":true,\"version\":\"<img src=x>2\"}")
            : situation == "forced, empty address" ? forced + "\"\"}"
            : situation == "forced, broken address"
                ? forced + "\"http://[::1\"}"
                : QByteArray(",\"data\":{\"needUpdate\":false,"
                             "\"forceUpdate\":true,\"version\":\"9.0\"}");
        canned = std::make_unique<CannedService>("{\"success\":true,\"code\":0,\"message\":\"ok\"" +
                                                 data + "}");
        configure(canned->port(), "1.0.0");
        m_install->writeFile(
            "downloads/outcomes.json",
            R"([{"id":"00000000000000aa","outcome":"failed","kind":"download",)"
            R"("from":"1.0.0","to":"2.0","decidedAt":"2026-01-02T03:04:05.000Z",)"
            R"("reported":false},)"
            R"({"id":"00000000000000bb","outcome":"failed","to":"2.0","reported":false}])");
    }
    QProcess* main = startMain();

    const ProcessResult result =
        runDriver({updateMode ? "update" : "check", kRoot, kMain}, "box", environment);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    if (updateMode) {
        QVERIFY2(lines.filter("BOX").isEmpty(), qPrintable(lines.join('\n')));
        QVERIFY(!log().contains("Update: " + QString::fromUtf8("无法连接到服务器")));
        QVERIFY(!log().contains("Update: " + QString::fromUtf8("已是最新版本")));
    } else {
        QVERIFY2(lines.contains("BOX status=" + boxStatus), qPrintable(lines.join('\n')));
        QVERIFY(lines.contains("BOX ContentText=" + boxContent));
        QVERIFY2(log().contains("\"" + logLine + "\""), qPrintable(log()));
    }
    QCOMPARE(log().contains("the network blocks ICMP"), situation == "ping blocked");
    QCOMPARE(log().contains("unusable package address"), situation.endsWith("address"));
    // Nothing was offered, so the main program keeps running, and no second
    // one is started.
    QCOMPARE(main->state(), QProcess::Running);
    QVERIFY(!QFile::exists(m_install->filePath(kMain + ".args")));
    if (canned)
        checkReportWaits(canned->seen());
}

// An outcome the service did not take stays in the record for the next
// check; the id goes in a header of every request and stays the same.
void TestUpdateFlow::checkReportWaits(const QStringList& seen)
{
    const QString id =
        QString::fromLatin1(m_install->readFile("downloads/installation-id")).trimmed();
    QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(id).hasMatch(), qPrintable(id));
    QCOMPARE(seen.value(0), "check id=" + id);
    QVERIFY2(seen.value(1).startsWith("report id=" + id + " sign="), qPrintable(seen.join('\n')));
    QVERIFY(seen.value(1).contains(
        R"("reports":[{"at":"2026-01-02T03:04:05.000Z","fromVersion":"1.0.0",)"
        R"("id":"00000000000000aa","kind":"download",)"
        R"("outcome":"failed","reason":"","toVersion":"2.0"}])"));
    const QJsonArray record =
        QJsonDocument::fromJson(m_install->readFile("downloads/outcomes.json")).array();
    QCOMPARE(record.at(0)["reported"], QJsonValue(false));
#ifndef Q_OS_WIN
    QCOMPARE(QFile::permissions(m_install->filePath("downloads/installation-id")),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
#endif
}

void TestUpdateFlow::offerShowsVersionsAndNotes_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("oldLabel");
    QTest::addColumn<QString>("newLabel");
    QTest::addColumn<QString>("notes");
    QTest::addColumn<QString>("cancelText");

    QTest::newRow("English") << "en_US"
                             << "1.0.0"
                             << "Current version: v1.0.0"
                             << "New version: v2.0.0"
                             << "Faster start.\\nFewer crashes."
                             << "Not updated yet";
    QTest::newRow("Chinese") << "zh_CN"
                             << "1.0.0" << QString::fromUtf8("当前版本: v1.0.0")
                             << QString::fromUtf8("新的版本: v2.0.0")
                             << QString::fromUtf8("启动更快。\\n崩溃更少。")
                             << QString::fromUtf8("暂不更新");
    QTest::newRow("no notes in the language, empty installed version") << "de_DE"
                                                                       << ""
                                                                       << "Current version: v"
                                                                       << "New version: v2.0.0"
                                                                       << "Release notes."
                                                                       << "Not updated yet";
}

void TestUpdateFlow::offerShowsVersionsAndNotes()
{
    QFETCH(QString, language);
    QFETCH(QString, installed);
    QFETCH(QString, oldLabel);
    QFETCH(QString, newLabel);
    QFETCH(QString, notes);
    QFETCH(QString, cancelText);

    QVERIFY(startService(catalog("general", release("2.0.0", "/packages/p.zip", false))));
    configure(m_service->port(), installed, language);
    QProcess* main = startMain();

    const ProcessResult result = runDriver({"check", kRoot, kMain}, "window;click:cancel");
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    QVERIFY2(lines.contains("WINDOW old=" + oldLabel), qPrintable(lines.join('\n')));
    QVERIFY(lines.contains("WINDOW new=" + newLabel));
    QVERIFY(lines.contains("WINDOW notes=" + notes));
    QVERIFY(lines.contains("WINDOW cancel=" + cancelText + "|enabled|arrow"));
    QVERIFY(lines.contains("WINDOW bar=0"));
    QVERIFY(log().contains(quoted("Update: 忽略更新")));
    // Declining a voluntary update leaves the main program alone.
    QCOMPARE(main->state(), QProcess::Running);
    QVERIFY(!QFile::exists(m_install->filePath(kMain + ".args")));
}

void TestUpdateFlow::forcedOfferStopsMainProgram_data()
{
    QTest::addColumn<QString>("mainProgram");
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("script"); // how the offer ends, after "window"

    QTest::newRow("main program named") << kMain << "p.zip"
                                        << "invoke:cancel";
    QTest::newRow("no main program") << QString() << "p.zip"
                                     << "invoke:cancel";
    QTest::newRow("download cancelled") << kMain << "slow.zip"
                                        << "click:update;progress;click:cancel";
    QTest::newRow("download failed") << kMain << "missing.zip"
                                     << "click:update;box";
}

void TestUpdateFlow::forcedOfferStopsMainProgram()
{
    QFETCH(QString, mainProgram);
    QFETCH(QString, package);
    QFETCH(QString, script);

    // Incompressible, so the package is as large as its content.
    QByteArray big(1024 * 1024, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(big.data()),
                                          big.size() / int(sizeof(quint32)));
    makePackage("slow.zip", {{"big.bin", big}});
    QVERIFY(startService(catalog("beta", release("2.0.0", "/packages/" + package, true)),
                         {"--throttle-kbps", "64"}));
    configure(m_service->port(), "1.0.0");
    QProcess* main = startMain();
    // The same program of another installation is not ours to stop.
    TempInstallation other;
    QProcess stranger;
    stranger.start(other.installExecutable(FAKE_MAIN_EXE, kMain), QStringList());
    QVERIFY(stranger.waitForStarted());

    const ProcessResult result =
        runDriver({"update", kRoot, mainProgram, "beta"}, "window;" + script);
    QCOMPARE(stranger.state(), QProcess::Running);
    stranger.kill();
    stranger.waitForFinished();
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    QVERIFY2(lines.contains("WINDOW cancel=Not updated yet|disabled|forbidden"),
             qPrintable(lines.join('\n')));
    QVERIFY(lines.contains("WINDOW update=Update now|enabled|arrow"));
    QVERIFY(log().contains(quoted("Update: 更新程序退出")));

    if (mainProgram.isEmpty()) {
        QCOMPARE(main->state(), QProcess::Running);
        QVERIFY(!log().contains(quoted("Update: 启动主程序")));
        return;
    }
    QVERIFY(main->waitForFinished(5000));
    // The window tells the user why before the main program goes.
    const QString stopped = "Update: the main program " + kMain + " was stopped";
    QVERIFY2(log().indexOf("the offer of 2.0.0 is shown") < log().indexOf(stopped),
             qPrintable(log()));
    // Whatever ended the offer, the main program is back and the updater gone.
    QVERIFY(lines.contains("DONE " + script.split(';').last()));
    QVERIFY(log().contains(quoted("Update: 启动主程序")));
    QTRY_VERIFY(QFile::exists(m_install->filePath(kMain + ".args")));
    QCOMPARE(restartRecord(), QStringList({"restart", "beta"}));
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("1.0.0"));
}

void TestUpdateFlow::fullUpdate()
{
    m_install->writeFile("readme.txt", "old readme");
    m_install->writeFile("bin/core.so", "old core");
    m_install->writeFile("LICENSE", "old licence");
    m_install->writeFile("keep.dat", "untouched");
    const QString updater = platform::updaterFileName();
    const QByteArray updaterBefore = m_install->readFile(updater);
    makePackage("app 2.zip", {{"readme.txt", "new readme"},
                              {"bin/core.so", "new core"},
                              {"bin/plugins/deep/extra.so", "added deep"},
                              {"LICENSE", "new licence"},
                              {"NOTICE", "added without suffix"},
                              {"conf/.hidden", "hidden files are files too"},
                              {updater, "the next updater"}});
    QVERIFY(startService(catalog("general", release("2.0.0", "/packages/app%202.zip", false))));
    configure(m_service->port(), "1.0.0");
    QProcess* main = startMain();

    const ProcessResult result = runDriver({"update", kRoot, kMain}, "window;click:update");
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);

    QCOMPARE(m_install->readFile("readme.txt"), QByteArray("new readme"));
    QCOMPARE(m_install->readFile("bin/core.so"), QByteArray("new core"));
    QCOMPARE(m_install->readFile("bin/plugins/deep/extra.so"), QByteArray("added deep"));
    QCOMPARE(m_install->readFile("LICENSE"), QByteArray("new licence"));
    QCOMPARE(m_install->readFile("NOTICE"), QByteArray("added without suffix"));
    QCOMPARE(m_install->readFile("conf/.hidden"), QByteArray("hidden files are files too"));
    QCOMPARE(m_install->readFile("keep.dat"), QByteArray("untouched"));
    QCOMPARE(m_install->readFile(updater), updaterBefore);
    QCOMPARE(m_install->readFile(platform::temporaryUpdaterFileName()),
             QByteArray("the next updater"));
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("2.0.0"));
    QVERIFY(main->waitForFinished(5000));
    QTRY_VERIFY(QFile::exists(m_install->filePath(kMain + ".args")));
    QCOMPARE(restartRecord(), QStringList({"restart", "general"}));
    QVERIFY(log().contains(
        QString::fromUtf8("Update: 开始下载更新包 http://127.0.0.1:%1/packages/app%202.zip")
            .arg(m_service->port())));
    // The backups of the replaced files outlive the restart; the next start
    // clears them.
    QVERIFY(QFileInfo::exists(m_install->filePath("downloads/update/backup/readme.txt")));
    QCOMPARE(runDriver({"update", kRoot, kMain}, "").exitCode, 0);
    QVERIFY(!QFileInfo::exists(m_install->filePath("downloads/update")));
}

void TestUpdateFlow::healthWatch_data()
{
    QTest::addColumn<QString>("behaviour"); // the new main program's, as fake_main takes it
    QTest::addColumn<QString>("reason");    // how the watch ended; taken back unless "ended..."

#ifdef Q_OS_WIN
    // abort() ends a Windows program with exit code 3, a bad access with an
    // exception.
    const QString aborted = "exit code 3";
    const QString badAccess = "exception 0xC0000005";
#else
    const QString aborted = "signal 6";
    const QString badAccess = "signal 11";
#endif
    QTest::newRow("crashes at once, then is not offered again")
        << "abort" << QString("ended abnormally twice: %1, %1").arg(aborted);
    QTest::newRow("segmentation fault")
        << "segv" << QString("ended abnormally twice: %1, %1").arg(badAccess);
    QTest::newRow("exits with code 3") << "exit3"
                                       << "ended abnormally twice: exit code 3, exit code 3";
    QTest::newRow("runs, while the updater starts as usual") << "run"
                                                             << "running when the window ended";
    QTest::newRow("closed by the user inside the window") << "exit0"
                                                          << "closed inside the window";
    QTest::newRow("confirms itself") << "healthy"
                                     << "confirmed by the main program";
    QTest::newRow("crashes once, then runs") << "crash-once"
                                             << "running when the window ended";
    QTest::newRow("replaces the updater during the watch") << "replace-updater"
                                                           << "running when the window ended";
}

// The new version's first start, watched by the copy of the updater that the
// installation leaves in the work folder; the release is signed, so that the
// serial of one taken back is known.
void TestUpdateFlow::healthWatch()
{
    QFETCH(QString, behaviour);
    QFETCH(QString, reason);
    const bool takenBack = reason.startsWith("ended abnormally");

    m_install->writeFile("a.txt", "old a");
    m_install->writeFile(kMain + ".behaviour", "run");
    QMap<QString, QByteArray> files{
        {"a.txt", "new a"}, {"b/new.txt", "added"}, {kMain + ".behaviour", behaviour.toUtf8()}};
    if (behaviour == "replace-updater")
        files.insert(platform::updaterFileName(),
                     m_install->readFile(platform::updaterFileName()) + "the next updater");
    makePackage("p.zip", files);
    publishSignedRelease("none");
    QVERIFY(startService(signedCatalog("none", "/packages/p.zip")));
    configure(m_service->port(), "1.0.0");
    m_install->setIni("config.ini", "Update", "HealthSeconds", behaviour == "run" ? "5" : "2");
    const FileTree before = installationTree();
    startMain();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UPDATE_DRIVER_WATCH_SCRIPT", "box");
    environment.insert("UPDATE_DRIVER_WATCH_REPORT", m_work.filePath("watch.txt"));
    QFile::remove(m_work.filePath("watch.txt"));
    QCOMPARE(runDriver({"check", kRoot, kMain}, "window;click:update", environment).exitCode, 0);
    if (behaviour == "run") {
        // The new main program's usual start, inside the window.
        QCOMPARE(runDriver({"update", kRoot, kMain}, "").exitCode, 0);
        QVERIFY2(log().contains("a new version is being watched; this start does nothing"),
                 qPrintable(log().right(3000)));
    }
    QTRY_VERIFY2_WITH_TIMEOUT(
        watchEnded(),
        qPrintable(snapshotTree(m_install->filePath("downloads/update")).keys().join(' ')), 60000);

    checkReported({"awaitingConfirmation", takenBack ? "rolledBack" : "confirmed"});
    const QJsonArray outcomes =
        QJsonDocument::fromJson(m_install->readFile("downloads/outcomes.json")).array();
    QCOMPARE(outcomes.at(1)["reason"].toString(), reason);
    QCOMPARE(outcomes.at(1)["serial"].toInt(), 1);
    // The watcher starts the main program a moment before it reports.
    QTRY_COMPARE(restartRecord(), QStringList({"restart", "general"}));
    if (!takenBack) {
        QCOMPARE(m_install->readFile("b/new.txt"), QByteArray("added"));
        QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("2.0.0"));
        QCOMPARE(m_install->readFile(platform::updaterFileName()).endsWith("the next updater"),
                 behaviour == "replace-updater");
        // The watcher's own copy, which Windows keeps while it runs, goes
        // with a later start: the driver's, as the updater put in place above
        // is none on Linux.
        m_install->installExecutable(UPDATE_DRIVER_EXE, platform::updaterFileName());
        QTRY_VERIFY_WITH_TIMEOUT(runDriver({"update", kRoot, kMain}, "").finished &&
                                     !QFileInfo::exists(m_install->filePath("downloads/update")),
                                 30000);
        return;
    }
    // config.ini holds the old version again, and the release refused.
    FileTree after = installationTree();
    after.remove("/config/trust/state.json");
    after.insert("/config.ini", before.value("/config.ini"));
    QCOMPARE(treeDifference(after, before), QString());
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("1.0.0"));
    QCOMPARE(m_install->ini("config.ini", "Update", "RefusedVersion"), QString("2.0.0"));
    QTRY_VERIFY(fileContent(m_work.filePath("watch.txt"))
                    .contains("BOX ContentText=Version 2.0.0 could not start and was taken back; "
                              "version 1.0.0 runs again"));
    if (behaviour != "abort")
        return;
    // The release taken back is not offered again; the same version signed
    // again, with a higher serial, is.
    const QStringList refused = reports(runDriver({"check", kRoot, kMain}, "box"));
    QVERIFY2(refused.contains("BOX ContentText=Version 2.0.0 could not start on this computer and "
                              "was taken back; it is not offered again"),
             qPrintable(refused.join('\n')));
    publish({"release", "--key", signingKey("release1.key"), "--package",
             QDir(packagesFolder()).filePath("p.zip"), "--software-root", kRoot, "--version-type",
             "general", "--version", "2.0.0", "--serial", "2", "--expires-days", "7", "-o",
             signingKey("release.json")});
    QVERIFY(startService(signedCatalog("none", "/packages/p.zip")));
    configure(m_service->port(), "1.0.0");
    QVERIFY(reports(runDriver({"check", kRoot, kMain}, "window;click:cancel"))
                .contains("WINDOW new=New version: v2.0.0"));
}

void TestUpdateFlow::workFolderLinksAreNotFollowed_data()
{
    QTest::addColumn<QString>("planted"); // below downloads/update, or the work folder itself
    QTest::addColumn<bool>("asFile");     // a file in its place instead of a link

    QTest::newRow("work folder") << "" << false;
    QTest::newRow("unpack folder") << "/temp" << false;
    QTest::newRow("backup folder") << "/backup" << false;
    QTest::newRow("work folder is a file") << "" << true;
}

void TestUpdateFlow::workFolderLinksAreNotFollowed()
{
    QFETCH(QString, planted);
    QFETCH(bool, asFile);

    const QString outside = m_work.filePath("outside");
    QDir().mkpath(outside);
    QFile keep(outside + "/keep.txt");
    QVERIFY(keep.open(QIODevice::WriteOnly));
    keep.close();
    const QString place = m_install->filePath("downloads/update" + planted);
    QDir().mkpath(QFileInfo(place).path());
    QVERIFY(asFile ? QFile::copy(keep.fileName(), place) : QFile::link(outside, place));
    m_install->writeFile("a.txt", "old a");
    makePackage("p.zip", {{"a.txt", "new a"}});
    QVERIFY(startService(catalog("general", release("2.0.0", "/packages/p.zip", false))));
    configure(m_service->port(), "1.0.0");

    const QString script =
        asFile ? "window;click:update;box;offer;click:cancel" : "window;click:update";
    const QStringList lines = reports(runDriver({"check", kRoot, kMain}, script));
    QVERIFY2(lines.contains("DONE " + script.split(';').last()), qPrintable(lines.join('\n')));
    const QStringList onlyKeep{"keep.txt"};
    if (asFile) {
        QVERIFY(lines.filter("BOX ContentText=The update cannot use its work folder").size() == 1);
        QCOMPARE(m_install->readFile("a.txt"), QByteArray("old a"));
        return;
    }
    QCOMPARE(m_install->readFile("a.txt"), QByteArray("new a"));
    QCOMPARE(log().contains("a link in the place of the work folder"), planted.isEmpty());
    // The next start clears what the update kept.
    QCOMPARE(runDriver({"update", kRoot, kMain}, "").exitCode, 0);
    QCOMPARE(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), onlyKeep);
}

void TestUpdateFlow::failedDownloadReturnsToOffer_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("serviceOptions");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("box"); // the failure's message, none when cancelled

    const QString back = "offer;click:cancel";
    QTest::newRow("not found") << "/packages/missing.zip" << QStringList()
                               << "window;click:update;box;" + back
                               << "Download failed: HTTP status 404";
    QTest::newRow("dropped connection")
        << "/packages/big.zip" << QStringList{"--fail-package-after", "100000"}
        << "window;click:update;box;" + back << "Download failed: ";
    QTest::newRow("cancelled") << "/packages/big.zip" << QStringList{"--throttle-kbps", "64"}
                               << "window;click:update;progress;click:cancel;" + back << QString();
    QTest::newRow("file address") << "file:///etc/hostname" << QStringList()
                                  << "window;click:update;box;" + back
                                  << "Download failed: only http and https";
    QTest::newRow("ftp address") << "ftp://127.0.0.1/big.zip" << QStringList()
                                 << "window;click:update;box;" + back
                                 << "Download failed: only http and https";
}

void TestUpdateFlow::failedDownloadReturnsToOffer()
{
    QFETCH(QString, url);
    QFETCH(QStringList, serviceOptions);
    QFETCH(QString, script);
    QFETCH(QString, box);

    // Incompressible, so the package is as large as its content.
    QByteArray big(2 * 1024 * 1024, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(big.data()),
                                          big.size() / int(sizeof(quint32)));
    makePackage("big.zip", {{"big.bin", big}});
    QVERIFY(startService(catalog("general", release("2.0.0", url, false)), serviceOptions));
    configure(m_service->port(), "1.0.0");
    const FileTree before = installationTree();

    const ProcessResult result = runDriver({"check", kRoot, kMain}, script);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    QVERIFY2(lines.contains("DONE offer"), qPrintable(lines.join('\n')));
    // Back in the offer with both buttons usable.
    QCOMPARE(lines.filter("WINDOW update=").last(),
             QString("WINDOW update=Update now|enabled|arrow"));
    QCOMPARE(lines.filter("WINDOW cancel=").last(),
             QString("WINDOW cancel=Not updated yet|enabled|arrow"));
    QVERIFY(log().contains(quoted("Update: 下载更新包失败")));
    QCOMPARE(lines.filter("BOX ContentText=" + box).size(), box.isEmpty() ? 0 : 1);
    // Only what a later attempt resumes from may stay: a dropped transfer's
    // part and its record.
    const QStringList left = QDir(m_install->filePath("downloads/update")).entryList(QDir::Files);
    QCOMPARE(left.filter(QRegularExpression("\\.part(\\.json)?$")), left);
    QCOMPARE(treeDifference(installationTree(), before), QString());
}

void TestUpdateFlow::blockedTargetRollsBack()
{
    m_install->writeFile("a.txt", "old a");
    m_install->writeFile("z.txt", "old z");
    m_install->writeFile("data/settings.json/inside", "a folder where the package has a file");
    makePackage("p.zip", {{"a.txt", "new a"},
                          {"data/settings.json", "{}"},
                          {"new/added.txt", "added"},
                          {"z.txt", "new z"}});
    QVERIFY(startService(catalog("general", release("2.0.0", "/packages/p.zip", false))));
    configure(m_service->port(), "1.0.0");
    const FileTree before = installationTree();
    QProcess* main = startMain();

    // The folder passes every check made before the stop; only the move fails.
    const ProcessResult result = runDriver({"check", kRoot, kMain}, "window;click:update;box");
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    QVERIFY2(lines.contains("BOX ContentText=Update failed"), qPrintable(lines.join('\n')));
    QVERIFY(log().contains("Update install failure: from:"));
    QCOMPARE(treeDifference(installationTree(), before), QString());
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("1.0.0"));
    // The main program, stopped for the installation, is back.
    QVERIFY(main->waitForFinished(5000));
    QTRY_VERIFY(QFile::exists(m_install->filePath(kMain + ".args")));
}

void TestUpdateFlow::brokenPackageLeavesInstallation_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("not a zip") << "text";
    QTest::newRow("truncated zip") << "truncated";
}

void TestUpdateFlow::brokenPackageLeavesInstallation()
{
    QFETCH(QString, kind);

    m_install->writeFile("a.txt", "old a");
    makePackage("p.zip", {{"a.txt", QByteArray(200000, 'n')}, {"b.txt", "b"}});
    QFile package(QDir(packagesFolder()).filePath("p.zip"));
    QVERIFY(package.open(QIODevice::ReadWrite));
    if (kind == "text") {
        package.resize(0);
        package.write("<html>not a package</html>");
    } else {
        package.resize(package.size() / 2);
    }
    package.close();
    QVERIFY(startService(catalog("general", release("2.0.0", "/packages/p.zip", false))));
    configure(m_service->port(), "1.0.0");
    const FileTree before = installationTree();
    QProcess* main = startMain();

    const ProcessResult result =
        runDriver({"update", kRoot, kMain}, "window;click:update;box;offer;click:cancel");
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(reports(result).contains("BOX ContentText=The update package is damaged"),
             qPrintable(reports(result).join('\n')));
    // Checked before the main program is stopped, so it never was.
    QCOMPARE(main->state(), QProcess::Running);
    QCOMPARE(treeDifference(installationTree(), before), QString());
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("1.0.0"));
    checkReported({"failed"});
}

// The record holds `outcomes`, oldest first, all taken by the service.
void TestUpdateFlow::checkReported(const QStringList& outcomes)
{
    QJsonArray record;
    QTRY_VERIFY_WITH_TIMEOUT(
        (record = QJsonDocument::fromJson(m_install->readFile("downloads/outcomes.json")).array(),
         !QJsonDocument(record).toJson().contains("\"reported\": false")),
        30000);
    QStringList recorded;
    for (const QJsonValue& entry : qAsConst(record))
        recorded.append(entry["outcome"].toString());
    QCOMPARE(recorded, outcomes);
}

// The installation moved onto a disk of its own that leaves about
// `freeMebibytes` beside the executables.
bool TestUpdateFlow::useSmallDisk(int freeMebibytes)
{
    const qint64 executables =
        QFileInfo(UPDATE_DRIVER_EXE).size() + QFileInfo(FAKE_MAIN_EXE).size();
    m_smallDisk = std::make_unique<SmallDisk>(int(executables >> 20) + 1 + freeMebibytes);
    if (!m_smallDisk->isMounted())
        return false;
    m_install = std::make_unique<TempInstallation>(m_smallDisk->path());
    m_driver = m_install->installExecutable(UPDATE_DRIVER_EXE, platform::updaterFileName());
    m_install->installExecutable(FAKE_MAIN_EXE, kMain);
    return true;
}

void TestUpdateFlow::failsClosed_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("mainStopped"); // then started again, and the updater ends

    const QString damaged = "The update package is damaged";
    QTest::newRow("package writes into the work folder") << "work folder" << damaged << false;
    QTest::newRow("gzip-encoded package") << "gzip" << damaged << false;
    // Refused before the main program is stopped.
    QTest::newRow("config.ini cannot be written")
        << "immutable config"
        << "config.ini cannot be written, so the update was not installed" << false;
    QTest::newRow("a link leads out of the installation")
        << "link out"
        << "data/a.txt leads outside the installation, so the update was not installed" << false;
    QTest::newRow("package larger than the free space")
        << "small disk"
        << "Not enough disk space: 30.00 MB needed" << false;
    QTest::newRow("endless body on a small disk") << "endless"
                                                  << "Download failed: cannot write" << false;
}

void TestUpdateFlow::failsClosed()
{
    QFETCH(QString, change);
    QFETCH(QString, box);
    QFETCH(bool, mainStopped);

    if ((change == "small disk" || change == "endless") && !useSmallDisk(20))
        QSKIP("a full disk is played by a tmpfs, which only root may mount");
    if (change == "immutable config" && !runsAsRoot())
        QSKIP("an unwritable config.ini is played by chattr +i, which needs root");
    m_install->writeFile("data/a.txt", "old a");
    if (change == "link out") {
        QFile::remove(m_install->filePath("data/a.txt"));
        QVERIFY(QFile::link(m_work.filePath("catalog.json"), m_install->filePath("data/a.txt")));
    }
    QMap<QString, QByteArray> files{{"data/a.txt", "new a"}};
    if (change == "work folder")
        files.insert("downloads/update/backup/data/a.txt", "not a backup");
    if (change == "small disk")
        files.insert("big.bin", QByteArray(30 << 20, '\0'));
    makePackage("p.zip", files);
    CannedService canned("{}", gzipEncoded(fileContent(QDir(packagesFolder()).filePath("p.zip"))));
    const QString url = change == "endless" || change == "gzip"
                            ? QString("http://127.0.0.1:%1/%2.zip")
                                  .arg(canned.port())
                                  .arg(change == "gzip" ? "gzip" : "endless")
                            : QString("/packages/p.zip");
    QVERIFY(startService(catalog("general", release("2.0.0", url, false))));
    configure(m_service->port(), "1.0.0");
    // Qt reads a file's write permission through access(), which an
    // immutable file fails, so the tree is taken before.
    const FileTree before = installationTree();
    if (change == "immutable config")
        QCOMPARE(QProcess::execute("chattr", {"+i", m_install->filePath("config.ini")}), 0);
    const qint64 freeBefore = QStorageInfo(m_install->path()).bytesAvailable();
    QProcess* main = startMain();

    const QString script =
        "window;click:update;box" + QString(mainStopped ? "" : ";offer;click:cancel");
    const ProcessResult result = runDriver({"check", kRoot, kMain}, script);
    QProcess::execute("chattr", {"-i", m_install->filePath("config.ini")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    QVERIFY2(lines.filter("BOX ContentText=").filter(box).size() == 1,
             qPrintable(lines.join('\n')));
    QCOMPARE(treeDifference(installationTree(), before), QString());
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("1.0.0"));
    QVERIFY(!QFileInfo::exists(m_install->filePath("downloads/update")));
    // Nothing of the attempt is left taking space on a disk of its own; the
    // log may have grown.
    if (m_smallDisk)
        QVERIFY(QStorageInfo(m_install->path()).bytesAvailable() > freeBefore - (1 << 20));
    if (!mainStopped) {
        QCOMPARE(main->state(), QProcess::Running);
        return;
    }
    QVERIFY(main->waitForFinished(5000));
    QTRY_VERIFY(QFile::exists(m_install->filePath(kMain + ".args")));
}

// Keys, root 1 pinned in the installation (and root 2 beside it), and the
// release of packages/p.zip, signed as the row wants it.
void TestUpdateFlow::publishSignedRelease(const QString& change)
{
    QDir(signingKey("")).removeRecursively();
    QDir().mkpath(signingKey(""));
    QDir().mkpath(m_install->filePath("config/trust"));
    for (const char* name : {"root1", "release1", "root2", "release2", "stranger"})
        publish({"keygen", signingKey(name)});
    publish({"root", "--version", "1", "--expires-days", "30", "--root-key",
             signingKey("root1.key"), "--release-pub", signingKey("release1.pub"), "-o",
             m_install->filePath("config/trust/root.json")});
    publish({"root", "--version", "2", "--expires-days", "30", "--root-key",
             signingKey("root2.key"), "--release-pub", signingKey("release2.pub"),
             "--previous-root-key", signingKey("root1.key"), "-o", signingKey("root2.json")});
    const QString signer = change == "rotation"      ? "release2.key"
                           : change == "unknown key" ? "stranger.key"
                                                     : "release1.key";
    QStringList delta;
    if (change.startsWith("delta"))
        delta << "--delta"
              << "1.0.0=" + QDir(packagesFolder()).filePath("p-from-1.0.0.delta.zip");
    publish(QStringList{"release", "--key", signingKey(signer), "--package",
                        QDir(packagesFolder()).filePath("p.zip"), "--software-root", kRoot,
                        "--version-type", "general", "--version", "2.0.0", "--serial", "1",
                        "--expires-days", "7", "-o", signingKey("release.json")} +
            delta);
    if (change == "expired")
        resignExpired(signingKey("release.json"), signingKey(signer));
}

// The delta from 1.0.0, whose a.txt is `oldA`, beside p.zip.
void TestUpdateFlow::publishDelta(const QByteArray& oldA)
{
    makePackage("old.zip", {{"a.txt", oldA}, {"keep.txt", "kept"}});
    publish({"delta", "--package", QDir(packagesFolder()).filePath("p.zip"), "--version", "2.0.0",
             "--from", "1.0.0=" + QDir(packagesFolder()).filePath("old.zip"), "--output-dir",
             packagesFolder()});
}

// The publisher signs nothing that has expired already: the release is
// signed again, as a clock a day ahead would see it.
void TestUpdateFlow::resignExpired(const QString& releaseFile, const QString& keyFile)
{
    SignedEnvelope envelope;
    SignedRelease release;
    SigningKey key;
    QString error;
    QVERIFY(SignedEnvelope::readFile(releaseFile, envelope, error) &&
            SignedRelease::fromEnvelope(envelope, release, error));
    QVERIFY(SigningKey::fromSeedBase64(QString::fromLatin1(fileContent(keyFile)).trimmed(), key));
    release.expires = QDateTime::currentDateTimeUtc().addDays(-1);
    envelope.payload = release.toBody();
    envelope.signatures.clear();
    envelope.sign(key);
    QVERIFY(envelope.writeFile(releaseFile, error));
}

QByteArray TestUpdateFlow::signedCatalog(const QString& change, const QString& url)
{
    QJsonObject entry =
        QJsonDocument::fromJson(release("2.0.0", url, change == "forged force")).object();
    entry.insert("release", signingKey("release.json"));
    QJsonObject catalog =
        QJsonDocument::fromJson(::catalog("general", QJsonDocument(entry).toJson())).object();
    if (change == "rotation")
        catalog.insert("roots", QJsonArray{signingKey("root2.json")});
    return QJsonDocument(catalog).toJson();
}

void TestUpdateFlow::signedUpdate_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("logLine"); // empty: installed

    const QString refused = "window;click:update;box;offer;click:cancel";
    QTest::newRow("signed") << "none"
                            << "window;click:update" << QString();
    QTest::newRow("over https") << "https"
                                << "window;click:update" << QString();
    QTest::newRow("rotated root") << "rotation"
                                  << "window;click:update" << QString();
    QTest::newRow("package with one byte changed") << "byte changed" << refused << "package hash";
    QTest::newRow("package one byte longer") << "byte added" << refused << "announces";
    QTest::newRow("endless package") << "endless" << refused << "more than the signed";
    QTest::newRow("forged forceUpdate") << "forged force"
                                        << "window;click:cancel" << QString::fromUtf8("忽略更新");
    QTest::newRow("delta") << "delta"
                           << "window;click:update" << QString();
    QTest::newRow("delta, over a file the user changed") << "delta, file changed"
                                                         << "window;click:update" << QString();
    QTest::newRow("delta missing on the server") << "delta missing"
                                                 << "window;click:update" << QString();
    QTest::newRow("release by an unknown key") << "unknown key"
                                               << "box"
                                               << "release signature";
    QTest::newRow("expired release") << "expired"
                                     << "box"
                                     << "release expiry";
}

void TestUpdateFlow::signedUpdate()
{
    QFETCH(QString, change);
    QFETCH(QString, script);
    QFETCH(QString, logLine);

    // Long enough for a patch to be smaller than the file.
    QByteArray oldA;
    for (int line = 0; line < 2000; ++line)
        oldA += "line " + QByteArray::number(line * 7919 % 10007) + "\n";
    const QByteArray newA = QByteArray(oldA).replace("line 42", "line forty-two");
    m_install->writeFile("a.txt", oldA);
    m_install->writeFile("keep.txt", "kept");
    makePackage("p.zip", {{"a.txt", newA}, {"b/new.txt", "added"}, {"keep.txt", "kept"}});
    if (change.startsWith("delta"))
        publishDelta(oldA);
    publishSignedRelease(change);
    if (change == "delta, file changed")
        m_install->writeFile("a.txt", oldA + "changed by the user");
    if (change == "delta missing")
        QFile::remove(QDir(packagesFolder()).filePath("p-from-1.0.0.delta.zip"));
    QFile package(QDir(packagesFolder()).filePath("p.zip"));
    QVERIFY(package.open(QIODevice::ReadWrite));
    if (change == "byte changed") {
        package.seek(package.size() / 2);
        const char byte = package.peek(1).at(0);
        package.write(QByteArray(1, char(byte ^ 0x20)));
    } else if (change == "byte added") {
        package.seek(package.size());
        package.write("x");
    }
    package.close();

    CannedService endless("{}");
    const QString url = change == "endless"
                            ? QString("http://127.0.0.1:%1/endless.zip").arg(endless.port())
                            : QString("/packages/p.zip");
    const QStringList tls = change == "https" ? tlsOptions() : QStringList();
    QVERIFY(startService(signedCatalog(change, url), tls));
    configure(m_service->port(), "1.0.0");
    if (change == "https")
        m_install->setIni("config.ini", "Version", "ServiceIP", "https://127.0.0.1");
    const FileTree before = installationTree();
    QProcess* main = startMain();

    const ProcessResult result = runDriver({"check", kRoot, kMain}, script);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    QVERIFY2(lines.contains("DONE " + script.split(';').last()), qPrintable(lines.join('\n')));
    if (logLine.isEmpty()) {
        QCOMPARE(m_install->readFile("a.txt"), newA);
        QCOMPARE(m_install->readFile("b/new.txt"), QByteArray("added"));
        QCOMPARE(log().contains("the delta from 1.0.0 gives 2 changed files"), change == "delta");
        QCOMPARE(log().contains("the full package is downloaded instead"),
                 change.startsWith("delta, ") || change == "delta missing");
        QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("2.0.0"));
        QVERIFY(main->waitForFinished(5000));
        QTRY_VERIFY(QFile::exists(m_install->filePath(kMain + ".args")));
        QFile pinned(m_install->filePath("config/trust/root.json"));
        QFile root2(signingKey("root2.json"));
        QVERIFY(pinned.open(QIODevice::ReadOnly) && root2.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(pinned.readAll()) ==
                     QJsonDocument::fromJson(root2.readAll()),
                 change == "rotation");
        return;
    }
    QVERIFY2(log().contains(logLine), qPrintable(log()));
    // A release that verified is remembered as seen, installed or not.
    FileTree after = installationTree();
    after.remove("/config/trust/state.json");
    QCOMPARE(treeDifference(after, before), QString());
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("1.0.0"));
    QCOMPARE(main->state(), QProcess::Running);
    if (change == "unknown key")
        QVERIFY(lines.contains("BOX ContentText=The update could not be verified and will not be "
                               "installed"));
    if (change == "expired")
        QVERIFY(lines.contains(
            "BOX ContentText=The release has expired; check this computer's date and time"));
    if (change == "forged force")
        QVERIFY(lines.contains("WINDOW cancel=Not updated yet|enabled|arrow"));
}

// The updater starts a program by its bare name from its own folder before
// the system's; the stand-in main program plays ping there, as `behaviour`.
void TestUpdateFlow::usePingStandIn(const QString& behaviour)
{
    m_install->installExecutable(FAKE_MAIN_EXE, "ping.exe");
    m_install->writeFile("ping.exe.behaviour", behaviour.toUtf8());
}

// Wine's ping writes its replies only when it ends, after the probe's wait:
// there a stand-in answers at once.
void TestUpdateFlow::useAnsweringPing()
{
#ifdef Q_OS_WIN
    usePingStandIn("reply");
#endif
}

void TestUpdateFlow::useSilentPing(QProcessEnvironment& environment)
{
#ifdef Q_OS_WIN
    Q_UNUSED(environment);
    usePingStandIn("exit3");
#else
    const QString standIns = m_work.filePath("silent-ping");
    QDir().mkpath(standIns);
    QFile ping(standIns + "/ping");
    QVERIFY(ping.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ping.write("#!/bin/sh\nexit 1\n");
    ping.close();
    ping.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    environment.insert("PATH", standIns + ":" + environment.value("PATH"));
#endif
}

// A certificate for 127.0.0.1 that the installation trusts, as cloudservice
// options.
QStringList TestUpdateFlow::tlsOptions()
{
    const QString key = m_work.filePath("tls.key");
    const QString certificate = m_install->filePath("config/cacert.pem");
    QDir().mkpath(QFileInfo(certificate).path());
    const int made = QProcess::execute(
        "openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", certificate, "-days", "2", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    return made == 0 ? QStringList{"--cert", certificate, "--key", key} : QStringList();
}

void TestUpdateFlow::throughProxy_data()
{
    QTest::addColumn<QString>("configured"); // config.ini [Network] Proxy; PROXY: its host:port
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("proxyLog"); // what the proxy saw: a method, 407, or nothing

    const QString user = QString("%1:%2@PROXY").arg(SquidProxy::kUser, SquidProxy::kPassword);
    const QString wrong = QString("%1:wr0ng-pw@PROXY").arg(SquidProxy::kUser);
    QTest::newRow("config.ini") << "http://" + user << QStringList() << "http"
                                << "installed"
                                << "POST";
    QTest::newRow("https_proxy, CONNECT")
        << "" << QStringList{"https_proxy=http://" + user} << "https"
        << "installed"
        << "CONNECT";
    QTest::newRow("no_proxy") << ""
                              << QStringList{"http_proxy=http://" + user, "no_proxy=127.0.0.1"}
                              << "http"
                              << "installed"
                              << "";
    QTest::newRow("none in config.ini")
        << "none" << QStringList{"http_proxy=http://" + user} << "http"
        << "installed"
        << "";
    QTest::newRow("unusable in config.ini, system's then")
        << "ftp://PROXY" << QStringList{"http_proxy=http://" + user} << "http"
        << "installed"
        << "POST";
    QTest::newRow("wrong password") << "http://" + wrong << QStringList() << "http"
                                    << "check refused"
                                    << "407";
    QTest::newRow("no credentials, CONNECT")
        << "" << QStringList{"https_proxy=http://PROXY"} << "https"
        << "check refused"
        << "407";
    // The package lies on "localhost", which no_proxy leaves to the proxy.
    QTest::newRow("download refused")
        << "" << QStringList{"http_proxy=http://" + wrong, "no_proxy=127.0.0.1"} << "http"
        << "download refused"
        << "407";
}

void TestUpdateFlow::throughProxy()
{
    QFETCH(QString, configured);
    QFETCH(QStringList, environment);
    QFETCH(QString, scheme);
    QFETCH(QString, outcome);
    QFETCH(QString, proxyLog);

    SquidProxy proxy;
    QVERIFY2(proxy.start(), qPrintable(proxy.startError()));
    const QString proxyAddress = QString("127.0.0.1:%1").arg(proxy.port());
    makePackage("p.zip", {{"a.txt", "new a"}});
    CannedService elsewhere("{}");
    const QString url = outcome == "download refused"
                            ? QString("http://localhost:%1/endless.zip").arg(elsewhere.port())
                            : QString("/packages/p.zip");
    QVERIFY(startService(catalog("general", release("2.0.0", url, false)),
                         scheme == "https" ? tlsOptions() : QStringList()));
    configure(m_service->port(), "1.0.0");
    m_install->setIni("config.ini", "Version", "ServiceIP", scheme + "://127.0.0.1");
    if (!configured.isEmpty())
        m_install->setIni("config.ini", "Network", "Proxy",
                          QString(configured).replace("PROXY", proxyAddress));
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "https_proxy", "no_proxy", "all_proxy"})
        variables.remove(name);
    for (const QString& variable : environment)
        variables.insert(variable.section('=', 0, 0),
                         variable.section('=', 1).replace("PROXY", proxyAddress));
    // Networks behind a proxy often block ICMP: only the direct path pings.
    useSilentPing(variables);
    startMain();

    const QString script = outcome == "installed" ? "window;click:update"
                           : outcome == "download refused"
                               ? "window;click:update;box;offer;click:cancel"
                               : "box";
    const ProcessResult result = runDriver({"check", kRoot, kMain}, script, variables);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = reports(result);
    QVERIFY2(lines.contains("DONE " + script.split(';').last()), qPrintable(lines.join('\n')));
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"),
             QString(outcome == "installed" ? "2.0.0" : "1.0.0"));
    if (outcome != "installed")
        QVERIFY2(lines.contains(QString("BOX ContentText=The proxy server %1 refused the "
                                        "connection: it needs a valid user name and password")
                                    .arg(proxyAddress)),
                 qPrintable(lines.join('\n')));
    QVERIFY(!log().contains(SquidProxy::kPassword) && !log().contains("wr0ng-pw"));
    QCOMPARE(log().contains("config.ini [Network] Proxy is neither"), configured.startsWith("ftp"));
    const bool directCheck = configured == "none" || !environment.filter("no_proxy").isEmpty();
    QCOMPARE(log().contains(QString::fromUtf8("ping通服务器")), directCheck);

    const QString seen = proxy.accessLog();
    if (proxyLog.isEmpty())
        QVERIFY2(seen.isEmpty(), qPrintable(seen));
    else if (proxyLog == "407")
        QVERIFY2(seen.count("/407 ") >= 1 && seen.count("/407 ") <= 2, qPrintable(seen));
    else
        QVERIFY2(seen.contains(proxyLog + " ") && seen.contains(SquidProxy::kUser),
                 qPrintable(seen));
    if (proxyLog == "POST")
        QVERIFY2(seen.contains("GET http://127.0.0.1:"), qPrintable(seen));
}

void TestUpdateFlow::elevatedInstall_data()
{
    QTest::addColumn<QString>("elevation"); // the driver's verb; "install": the step started alone
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("box"); // empty: installed, or refused by the step alone

    const QString damaged = "The update package is damaged";
    QTest::newRow("installed") << "open"
                               << "en_US" << QString();
    QTest::newRow("package writes into the work folder") << "open"
                                                         << "en_US" << damaged;
    QTest::newRow("refused") << "cancel"
                             << "en_US"
                             << "The update needs administrator rights, which were not given, so "
                                "it was not installed";
    QTest::newRow("refused, Chinese")
        << "cancel"
        << "zh_CN" << QString::fromUtf8("更新需要管理员权限,但未获授权,因此未安装");
    QTest::newRow("no pkexec") << "runas"
                               << "en_US"
                               << "The update needs administrator rights, which this computer "
                                  "has no way to ask for, so it was not installed";
    QTest::newRow("forged package handed to the step") << "install"
                                                       << "en_US" << QString();
    QTest::newRow("no pinned root, no prompt")
        << "open"
        << "en_US"
        << "The update could not be verified and will not be installed";
}

// An installation the user may not write, played by the driver's seam: the
// package goes to the user's folder, the installation step to the same
// driver in the mode "install".
void TestUpdateFlow::elevatedInstall()
{
    QFETCH(QString, elevation);
    QFETCH(QString, language);
    QFETCH(QString, box);
#ifdef Q_OS_WIN
    if (elevation == "runas")
        QSKIP("Windows always has the UAC prompt");
#endif

    m_install->writeFile("a.txt", "old a");
    QMap<QString, QByteArray> files{{"a.txt", "new a"}, {"b/new.txt", "added"}};
    if (box == "The update package is damaged")
        files.insert("downloads/update/backup/a.txt", "not a backup");
    makePackage("p.zip", files);
    makePackage("forged.zip", {{"a.txt", "forged a"}});
    publishSignedRelease("none");
    const bool unsigned_ = QTest::currentDataTag() == QLatin1String("no pinned root, no prompt");
    if (unsigned_)
        QFile::remove(m_install->filePath("config/trust/root.json"));
    QVERIFY(startService(signedCatalog("none", "/packages/p.zip")));
    configure(m_service->port(), "1.0.0", language);
    const FileTree before = installationTree();
    QProcess* main = startMain();
    // The user's folder, where Linux lets a test choose it.
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_work.filePath("user")));
    const QString userFolder = layout::userFolder(kRoot);
    QDir(userFolder).removeRecursively();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    ProcessResult result;
    if (elevation == "install") {
        // Any program of the user may start the step, with the vendor's
        // release beside a package of its own.
        const QString document = m_work.filePath("release-document.json");
        const QJsonObject release =
            QJsonDocument::fromJson(fileContent(signingKey("release.json"))).object();
        QFile(document).remove();
        QFile out(document);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(QJsonDocument(QJsonObject{{"release", release}}).toJson());
        out.close();
        result = runDriver({"install", kRoot, kMain, "general", "2.0.0",
                            QDir(packagesFolder()).filePath("forged.zip"), document},
                           "", environment);
        QCOMPARE(result.exitCode, 1); // not verified, the main program not stopped
        QVERIFY2(log().contains("elevated step: package "), qPrintable(log()));
    } else {
        environment.insert("UPDATE_DRIVER_ELEVATION", elevation);
        if (elevation == "runas")
            environment.insert("PATH", m_work.filePath("no-pkexec"));
        const QString script =
            box.isEmpty() ? "window;click:update" : "window;click:update;box;offer;click:cancel";
        result = runDriver({"check", kRoot, kMain}, script, environment);
        const QStringList lines = reports(result);
        QVERIFY2(lines.contains("DONE " + script.split(';').last()),
                 qPrintable(lines.join('\n') + result.standardError));
        if (!box.isEmpty())
            QVERIFY2(lines.contains("BOX ContentText=" + box), qPrintable(lines.join('\n')));
        QVERIFY2(log(userFolder).contains("the offer of 2.0.0 is shown"), qPrintable(log()));
        QCOMPARE(log().contains(",install,"), !unsigned_ && elevation == "open");
    }
    QVERIFY(result.finished);
    if (elevation == "open" && box.isEmpty()) {
        QCOMPARE(m_install->readFile("a.txt"), QByteArray("new a"));
        QCOMPARE(m_install->readFile("b/new.txt"), QByteArray("added"));
        QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("2.0.0"));
        QVERIFY(main->waitForFinished(5000));
        QTRY_VERIFY(QFile::exists(m_install->filePath(kMain + ".args")));
        QCOMPARE(restartRecord(), QStringList({"restart", "general"}));
        QVERIFY2(log().contains(QString("install,%1,%2,general,2.0.0,%3/downloads/update/p.zip,"
                                        "%3/downloads/update/release.json,")
                                    .arg(kRoot, kMain, userFolder)),
                 qPrintable(log()));
        QVERIFY(log().contains("elevated step: the main program " + kMain + " was stopped"));
        QVERIFY(!log().contains("the offer of 2.0.0 is shown"));
        QVERIFY(!QFileInfo::exists(m_install->filePath("downloads/update")));
        QVERIFY(!QFileInfo::exists(userFolder + "/downloads/update"));
        return;
    }
    // A release that verified is remembered as seen, installed or not.
    FileTree after = installationTree();
    after.remove("/config/trust/state.json");
    QCOMPARE(treeDifference(after, before), QString());
    QCOMPARE(m_install->ini("config.ini", "Version", "Version"), QString("1.0.0"));
    QCOMPARE(main->state(), QProcess::Running);
    QVERIFY(!QFile::exists(m_install->filePath(kMain + ".args")));
}

QTEST_GUILESS_MAIN(TestUpdateFlow)
#include "tst_updateflow.moc"
