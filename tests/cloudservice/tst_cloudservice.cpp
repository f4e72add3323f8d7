#include "support/CloudServiceProcess.h"
#include "support/PostgresCluster.h"
#include "support/TempInstallation.h"
#include "trust/SignedEnvelope.h"
#include "trust/SignedRelease.h"
#include "trust/TrustRoot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <httplib.h>
#include <thread>

namespace {

const char* const checkVersionPath = "/cloudService/version/checkVersion";
const char* const reportPath = "/cloudService/update/report";
const qint64 packageSize = 3 * 1024 * 1024 + 17; // spans several 1 MiB chunks

QByteArray versionBody(const QString& root, const QString& type, const QString& installed)
{
    const QJsonObject body{{"platformType", "2"},
                           {"softwareRoot", root},
                           {"version", installed},
                           {"versionType", type}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray md5Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

// The envelope headers the updater sends; `omit` leaves some out.
httplib::Headers envelopeHeaders(const QByteArray& body, const QString& token = QString(),
                                 const QStringList& omit = {},
                                 const QByteArray& timestamp = "1765150000123",
                                 const QByteArray& sign = QByteArray())
{
    const QByteArray signature = sign.isNull() ? md5Hex(token.toLatin1() + timestamp + body) : sign;
    const QList<QPair<QString, QByteArray>> values = {
        {"platform", "2"},        {"langType", "en_US"},     {"version", "1.0.0"},
        {"timestamp", timestamp}, {"token", token.toUtf8()}, {"sign", signature}};
    httplib::Headers headers;
    for (const auto& value : values) {
        if (!omit.contains(value.first))
            headers.emplace(value.first.toStdString(), value.second.toStdString());
    }
    return headers;
}

struct Answer
{
    int status = 0;
    QJsonObject json;
};

Answer post(httplib::Client& client, const QByteArray& body, const httplib::Headers& headers,
            const char* target = checkVersionPath)
{
    Answer answer;
    const auto result =
        client.Post(target, headers, body.toStdString(), "application/json;charset=UTF-8");
    if (!result)
        return answer;
    answer.status = result->status;
    answer.json = QJsonDocument::fromJson(QByteArray::fromStdString(result->body)).object();
    return answer;
}

QJsonObject checkVersion(httplib::Client& client, const QString& root, const QString& type,
                         const QString& installed, const httplib::Headers& extra = {})
{
    const QByteArray body = versionBody(root, type, installed);
    httplib::Headers headers = envelopeHeaders(body);
    headers.insert(extra.begin(), extra.end());
    return post(client, body, headers).json;
}

// The installation ids of the updater: 32 lowercase hex digits.
QString installationId(int n)
{
    return QString::fromLatin1(md5Hex(QByteArray::number(n)));
}

// The rollout's bucket as the updater's vendor documents it, worked out
// here on its own so that a change on the service's side shows.
int bucket(const QString& id, const QString& root, const QString& type, const QString& version)
{
    const QByteArray digest = QCryptographicHash::hash(
        (id + '\n' + root + '\n' + type + '\n' + version).toUtf8(), QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | quint8(digest.at(i));
    return int(value % 10000);
}

QString newestFor(httplib::Client& client, const QString& type, const QString& installed,
                  const QString& id = QString())
{
    httplib::Headers extra;
    if (!id.isEmpty())
        extra.emplace("X-Installation-Id", id.toStdString());
    return checkVersion(client, "App", type, installed, extra)
        .value("data")
        .toObject()
        .value("version")
        .toString();
}

QJsonObject outcome(const QString& reportId, const QString& what, const QString& kind = QString())
{
    QJsonObject report{{"id", reportId},
                       {"outcome", what},
                       {"fromVersion", "1.0"},
                       {"toVersion", "2.0"},
                       {"at", "2026-12-09T08:00:00Z"},
                       {"reason", QString(300, 'r')}};
    if (!kind.isEmpty())
        report.insert("kind", kind);
    if (what == "rolledBack")
        report.insert("exitCode", 3);
    return report;
}

Answer sendReports(httplib::Client& client, const QString& id, const QJsonArray& reports)
{
    const QByteArray body = QJsonDocument(QJsonObject{{"platformType", "2"},
                                                      {"softwareRoot", "App"},
                                                      {"versionType", "general"},
                                                      {"reports", reports}})
                                .toJson(QJsonDocument::Compact);
    httplib::Headers headers = envelopeHeaders(body);
    if (!id.isNull())
        headers.emplace("X-Installation-Id", id.toStdString());
    return post(client, body, headers, reportPath);
}

QByteArray randomBytes(qint64 size)
{
    QRandomGenerator generator(20261208);
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.commit();
}

// The service passes signatures on unchecked, so any well-formed one will do.
QJsonObject writeEnvelope(const QString& path, const QString& type, const QByteArray& body)
{
    const QJsonObject json =
        SignedEnvelope{type, body, {{"test-key", QByteArray(64, 'Z')}}}.toJson();
    return writeFile(path, QJsonDocument(json).toJson()) ? json : QJsonObject();
}

} // namespace

class TestCloudService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void versionDecision_data();
    void versionDecision();
    void releaseNotesPerLanguage();
    void packageUrl_data();
    void packageUrl();
    void catalogChangesWithoutRestart_data();
    void catalogChangesWithoutRestart();
    void signedDocuments_data();
    void signedDocuments();

    void refusedEnvelope_data();
    void refusedEnvelope();
    void acceptedEnvelope_data();
    void acceptedEnvelope();
    void qtClientEnvelope();

    void byteRanges_data();
    void byteRanges();
    void validatorFollowsTheFile_data();
    void validatorFollowsTheFile();
    void packagePaths_data();
    void packagePaths();
    void droppedTransfer();
    void abandonedThrottledTransfer();

    void delayedAnswer();
    void https();
    void refusesToStart_data();
    void refusesToStart();

    void fleetBehindNginx();

    void rolloutGate_data();
    void rolloutGate();
    void refusedReports_data();
    void refusedReports();
    void haltAndResume_data();
    void haltAndResume();
    void releaseCommand_data();
    void releaseCommand();

private:
    QString path(const QString& relative) const { return m_dir.filePath(relative); }
    void startFleet(QProcess& fleet, int port, QString& instance);
    bool startService(CloudServiceProcess& service, const QStringList& extra = {});
    QString databaseUrl(const QString& backend);

    QTemporaryDir m_dir;
    QByteArray m_package;
    CloudServiceProcess m_service;
    CloudServiceProcess m_rolloutService;
    CloudServiceProcess m_commandService;
    std::unique_ptr<PostgresCluster> m_postgres;
};

bool TestCloudService::startService(CloudServiceProcess& service, const QStringList& extra)
{
    static int count = 0;
    const QString log = path(QString("service-%1.log").arg(++count));
    const bool started = service.start(
        QStringList{"--catalog", path("catalog.json"), "--packages", path("packages")} + extra,
        log);
    if (!started)
        qWarning() << service.startError();
    return started;
}

void TestCloudService::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath("packages/sub"));
    QVERIFY(QFile::copy(TEST_CATALOG, path("catalog.json")));
    m_package = randomBytes(packageSize);
    QVERIFY(writeFile(path("packages/App_1.10.0.zip"), m_package));
    QVERIFY(writeFile(path("packages/sub/inner.bin"), "inner"));
    QVERIFY(writeFile(path("secret.txt"), "outside the packages folder"));
    QVERIFY(QFile::link(path("secret.txt"), path("packages/outside-link")));
    QVERIFY(startService(m_service));
}

void TestCloudService::versionDecision_data()
{
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("needUpdate");
    QTest::addColumn<bool>("forceUpdate");
    QTest::addColumn<QString>("forceVersion");

    QTest::newRow("older") << "App"
                           << "general"
                           << "1.9.5"
                           << "1.10.0" << true << false << "1.2";
    QTest::newRow("numeric, not textual") << "App"
                                          << "general"
                                          << "1.9.10"
                                          << "1.10.0" << true << false << "1.2";
    QTest::newRow("equal") << "App"
                           << "general"
                           << "1.10.0"
                           << "1.10.0" << false << false << "1.2";
    QTest::newRow("equal, missing part") << "App"
                                         << "general"
                                         << "1.10"
                                         << "1.10.0" << false << false << "1.2";
    QTest::newRow("newer") << "App"
                           << "general"
                           << "1.11"
                           << "1.10.0" << false << false << "1.2";
    QTest::newRow("empty installed") << "App"
                                     << "general"
                                     << ""
                                     << "1.10.0" << true << true << "1.2";
    QTest::newRow("below minimum") << "App"
                                   << "general"
                                   << "1.4.9"
                                   << "1.10.0" << true << true << "1.2";
    QTest::newRow("at minimum") << "App"
                                << "general"
                                << "1.5"
                                << "1.10.0" << true << false << "1.2";
    QTest::newRow("behind mandatory release") << "App"
                                              << "beta"
                                              << "2.9"
                                              << "3.1" << true << true << "3.0";
    QTest::newRow("at mandatory release") << "App"
                                          << "beta"
                                          << "3.0"
                                          << "3.1" << true << false << "3.0";
    QTest::newRow("unknown software root") << "Other"
                                           << "general"
                                           << "1.0"
                                           << "" << false << false << "";
    QTest::newRow("root and type run together") << "Appgeneral"
                                                << ""
                                                << "1.9.5"
                                                << "" << false << false << "";
    QTest::newRow("unknown version type") << "App"
                                          << "nightly"
                                          << "1.0"
                                          << "" << false << false << "";
}

void TestCloudService::versionDecision()
{
    QFETCH(QString, root);
    QFETCH(QString, type);
    QFETCH(QString, installed);
    httplib::Client client(m_service.host().toStdString(), m_service.port());

    const QJsonObject answer = checkVersion(client, root, type, installed);
    QCOMPARE(answer.value("success").toBool(), true);
    QCOMPARE(answer.value("code").toInt(-1), 0);
    const QJsonObject data = answer.value("data").toObject();
    QCOMPARE(data.value("platformType").toString(), QString("2"));
    QCOMPARE(data.value("softwareRoot").toString(), root);
    QTEST(data.value("version").toString(), "version");
    QTEST(data.value("needUpdate").toBool(), "needUpdate");
    QTEST(data.value("forceUpdate").toBool(), "forceUpdate");
    QTEST(data.value("forceVersion").toString(), "forceVersion");
    QCOMPARE(data.value("maxVersion").toString(), data.value("version").toString());
    QVERIFY(!data.contains("release") && !data.contains("roots"));
}

void TestCloudService::releaseNotesPerLanguage()
{
    httplib::Client client(m_service.host().toStdString(), m_service.port());
    const QJsonObject data = checkVersion(client, "App", "general", "1.0").value("data").toObject();
    QVERIFY(data.value("noteJson").isString());
    const QJsonObject notes =
        QJsonDocument::fromJson(data.value("noteJson").toString().toUtf8()).object();
    const QJsonObject expected{
        {"en_US", "English notes"}, {"zh_CN", "中文说明"}, {"default", "Default notes"}};
    QCOMPARE(notes, expected);

    const QJsonObject noNotes =
        checkVersion(client, "App", "mirror", "1.0").value("data").toObject();
    QCOMPARE(noNotes.value("noteJson").toString(), QString("{}"));
}

void TestCloudService::packageUrl_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("hostHeader");
    QTest::addColumn<QString>("expected");

    QTest::newRow("relative") << "general"
                              << ""
                              << "%1/packages/App_1.10.0.zip";
    QTest::newRow("relative, host as asked")
        << "general"
        << "updates.example.com:8443"
        << "http://updates.example.com:8443/packages/App_1.10.0.zip";
    QTest::newRow("relative without slash") << "beta"
                                            << ""
                                            << "%1/packages/App_3.1.zip";
    QTest::newRow("absolute") << "mirror"
                              << ""
                              << "https://mirror.example.com/App_5.0.zip";
}

void TestCloudService::packageUrl()
{
    QFETCH(QString, type);
    QFETCH(QString, hostHeader);
    QFETCH(QString, expected);
    httplib::Client client(m_service.host().toStdString(), m_service.port());
    httplib::Headers extra;
    if (!hostHeader.isEmpty())
        extra.emplace("Host", hostHeader.toStdString());

    const QJsonObject data =
        checkVersion(client, "App", type, "1.0", extra).value("data").toObject();
    QCOMPARE(data.value("url").toString(),
             expected.contains("%1") ? expected.arg(m_service.baseUrl()) : expected);
}

void TestCloudService::catalogChangesWithoutRestart_data()
{
    QTest::addColumn<QStringList>("edits"); // versions; "broken": a file that does not parse
    QTest::addColumn<QString>("served");

    QTest::newRow("edited") << QStringList{"2.1.5"} << "2.1.5";
    QTest::newRow("broken edit") << QStringList{"broken"} << "2.0";
    QTest::newRow("edited, broken, fixed") << QStringList{"2.1.5", "broken", "2.2"} << "2.2";
}

void TestCloudService::catalogChangesWithoutRestart()
{
    QFETCH(QStringList, edits);
    const QString catalog = path("changing-catalog.json");
    auto catalogWith = [](const QString& version) {
        return QString(R"({"softwareRoots":{"App":{"general":{"releases":[
            {"version":"%1","url":"/packages/App_%1.zip"}]}}}})")
            .arg(version)
            .toUtf8();
    };
    QVERIFY(writeFile(catalog, catalogWith("2.0")));
    CloudServiceProcess service;
    QVERIFY(service.start({"--catalog", catalog},
                          path(QString("changing %1.log").arg(QTest::currentDataTag()))));
    httplib::Client client(service.host().toStdString(), service.port());
    auto newest = [&]() {
        return checkVersion(client, "App", "general", "1.0")
            .value("data")
            .toObject()
            .value("version")
            .toString();
    };
    QString served = "2.0";
    QCOMPARE(newest(), served);

    // The file is looked at once a second at most: each edit shows after a
    // while, and until then the answers (cached ones too) stay as they were.
    for (const QString& edit : edits) {
        if (edit == "broken") {
            QVERIFY(writeFile(catalog, "{ \"softwareRoots\": { broken"));
            QTRY_VERIFY_WITH_TIMEOUT(newest() == served && service.log().contains("not reloaded"),
                                     10000);
        } else {
            QVERIFY(writeFile(catalog, catalogWith(edit)));
            QTRY_COMPARE_WITH_TIMEOUT(newest(), edit, 10000);
            served = edit;
        }
    }
    QTEST(newest(), "served");
    QCOMPARE(service.log().count("not reloaded, keeping the last good one"), edits.count("broken"));
}

void TestCloudService::signedDocuments_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QJsonValue>("release");
    QTest::addColumn<QJsonValue>("roots");

    QVERIFY(QDir(m_dir.path()).mkpath("signed"));
    const QString releaseType = SignedRelease::kPayloadType;
    const QJsonObject newest = writeEnvelope(path("signed/release-2.0.json"), releaseType, "2.0");
    QVERIFY(!writeEnvelope(path("signed/release-1.0.json"), releaseType, "1.0").isEmpty());
    const QJsonArray roots{writeEnvelope(path("signed/root-2.json"), TrustRoot::kPayloadType, "2"),
                           writeEnvelope(path("root-3.json"), TrustRoot::kPayloadType, "3")};
    QVERIFY(writeFile(path("signed/catalog.json"), QString(R"({"roots":["root-2.json","%1"],
        "softwareRoots":{"App":{"general":{"releases":[
            {"version":"2.0","url":"/p/2.0.zip","release":"release-2.0.json"},
            {"version":"1.0","url":"/p/1.0.zip","release":"release-1.0.json"}]},
        "beta":{"releases":[{"version":"3.0","url":"/p/3.0.zip"}]}}}})")
                                                       .arg(path("root-3.json"))
                                                       .toUtf8()));
    const QJsonValue none(QJsonValue::Undefined);
    QTest::newRow("offered release's document")
        << "general" << QJsonValue(newest) << QJsonValue(roots);
    QTest::newRow("release without document") << "beta" << none << QJsonValue(roots);
    QTest::newRow("unknown version type") << "nightly" << none << QJsonValue(roots);
}

void TestCloudService::signedDocuments()
{
    QFETCH(QString, type);
    CloudServiceProcess service;
    QVERIFY(service.start({"--catalog", path("signed/catalog.json")}, path("signed.log")));
    httplib::Client client(service.host().toStdString(), service.port());

    const QJsonObject data = checkVersion(client, "App", type, "1.0").value("data").toObject();
    QTEST(data.value("release"), "release");
    QTEST(data.value("roots"), "roots");
}

void TestCloudService::refusedEnvelope_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("omit");
    QTest::addColumn<QByteArray>("timestamp");
    QTest::addColumn<QByteArray>("sign"); // null: the right signature
    QTest::addColumn<int>("code");

    const QByteArray good = versionBody("App", "general", "1.0");
    const QByteArray ts = "1765150000123";
    for (const char* header : {"platform", "version", "timestamp", "sign"})
        QTest::addRow("missing %s", header)
            << good << QStringList{header} << ts << QByteArray() << 4001;
    QTest::newRow("signed timestamp")
        << good << QStringList() << QByteArray("-1765150000123") << QByteArray() << 4002;
    QTest::newRow("timestamp not digits")
        << good << QStringList() << QByteArray("17651500001x") << QByteArray() << 4002;
    QTest::newRow("wrong sign") << good << QStringList() << ts << QByteArray(32, '0') << 4003;
    QTest::newRow("upper-case sign")
        << good << QStringList() << ts << md5Hex(ts + good).toUpper() << 4003;
    QTest::newRow("sign of another body")
        << good << QStringList() << ts << md5Hex(ts + versionBody("App", "general", "9.0")) << 4003;
    QTest::newRow("sign with a token not sent")
        << good << QStringList() << ts << md5Hex("token" + ts + good) << 4003;
    QTest::newRow("empty body") << QByteArray("") << QStringList() << ts << QByteArray() << 4004;
    QTest::newRow("not JSON") << QByteArray("version=1.0") << QStringList() << ts << QByteArray()
                              << 4004;
    QTest::newRow("JSON array") << QByteArray("[]") << QStringList() << ts << QByteArray() << 4004;
    QTest::newRow("number member")
        << QByteArray(
               R"({"platformType":"2","softwareRoot":"App","version":1,"versionType":"general"})")
        << QStringList() << ts << QByteArray() << 4005;
    QTest::newRow("null member")
        << QByteArray(
               R"({"platformType":"2","softwareRoot":null,"version":"1","versionType":"general"})")
        << QStringList() << ts << QByteArray() << 4005;
    QTest::newRow("missing member")
        << QByteArray(R"({"platformType":"2","softwareRoot":"App","version":"1"})") << QStringList()
        << ts << QByteArray() << 4005;
}

void TestCloudService::refusedEnvelope()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, omit);
    QFETCH(QByteArray, timestamp);
    QFETCH(QByteArray, sign);
    httplib::Client client(m_service.host().toStdString(), m_service.port());

    const Answer answer =
        post(client, body, envelopeHeaders(body, QString(), omit, timestamp, sign));
    // HTTP 200, so that the client reads the service's code and message.
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.json.value("success"), QJsonValue(false));
    QTEST(answer.json.value("code").toInt(), "code");
    QVERIFY(!answer.json.value("message").toString().isEmpty());
}

void TestCloudService::acceptedEnvelope_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QStringList>("omit");

    QTest::newRow("empty token and language") << "" << QStringList();
    QTest::newRow("no token and language headers") << "" << QStringList{"token", "langType"};
    QTest::newRow("ASCII token") << "a1b2c3d4" << QStringList();
    QTest::newRow("token beyond ASCII") << QString::fromUtf8("jeton-é") << QStringList();
}

void TestCloudService::acceptedEnvelope()
{
    QFETCH(QString, token);
    QFETCH(QStringList, omit);
    httplib::Client client(m_service.host().toStdString(), m_service.port());
    const QByteArray body = versionBody("App", "general", "1.0");

    const Answer answer = post(client, body, envelopeHeaders(body, token, omit));
    QCOMPARE(answer.json.value("success"), QJsonValue(true));
}

void TestCloudService::qtClientEnvelope()
{
    // The updater's own transport: raw headers with empty token and language.
    const QByteArray body = versionBody("App", "general", "1.9");
    const QByteArray timestamp = QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    QNetworkRequest request(QUrl(m_service.baseUrl() + checkVersionPath));
    request.setRawHeader("platform", "2");
    request.setRawHeader("langType", "");
    request.setRawHeader("version", "1.0.0");
    request.setRawHeader("timestamp", timestamp);
    request.setRawHeader("token", "");
    request.setRawHeader("sign", md5Hex(timestamp + body));
    request.setRawHeader("Content-Type", "application/json;charset=UTF-8");
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.post(request, body));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(30000));

    QCOMPARE(reply->error(), QNetworkReply::NoError);
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    QCOMPARE(answer.value("success"), QJsonValue(true));
    QCOMPARE(answer.value("data").toObject().value("needUpdate"), QJsonValue(true));
}

void TestCloudService::byteRanges_data()
{
    QTest::addColumn<QString>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("ifRange"); // "etag" and "date": the file's current ones

    const qint64 n = packageSize;
    const qint64 mib = 1024 * 1024;
    QTest::newRow("whole") << "" << 200 << qint64(0) << n << "";
    QTest::newRow("first bytes") << "bytes=0-9" << 206 << qint64(0) << qint64(10) << "";
    QTest::newRow("across chunks")
        << QString("bytes=%1-%2").arg(mib - 5).arg(2 * mib + 4) << 206 << mib - 5 << mib + 10 << "";
    QTest::newRow("open end") << "bytes=1000-" << 206 << qint64(1000) << n - 1000 << "";
    QTest::newRow("suffix") << "bytes=-5" << 206 << n - 5 << qint64(5) << "";
    QTest::newRow("suffix beyond size") << "bytes=-99999999" << 206 << qint64(0) << n << "";
    QTest::newRow("end beyond size")
        << QString("bytes=%1-%2").arg(n - 10).arg(n + 100) << 206 << n - 10 << qint64(10) << "";
    QTest::newRow("several ranges") << "bytes=0-1,5-6" << 200 << qint64(0) << n << "";
    QTest::newRow("start at size")
        << QString("bytes=%1-").arg(n) << 416 << qint64(0) << qint64(0) << "";
    QTest::newRow("start beyond size")
        << QString("bytes=%1-%2").arg(n + 5).arg(n + 10) << 416 << qint64(0) << qint64(0) << "";
    const QString rest = "bytes=1000-";
    QTest::newRow("If-Range, same ETag") << rest << 206 << qint64(1000) << n - 1000 << "etag";
    QTest::newRow("If-Range, same date") << rest << 206 << qint64(1000) << n - 1000 << "date";
    QTest::newRow("If-Range, other ETag") << rest << 200 << qint64(0) << n << "\"other\"";
    QTest::newRow("If-Range, weak ETag") << rest << 200 << qint64(0) << n << "W/etag";
    QTest::newRow("If-Range, other date")
        << rest << 200 << qint64(0) << n << "Thu, 01 Jan 1970 00:00:00 GMT";
    QTest::newRow("If-Range differs, start beyond size")
        << QString("bytes=%1-").arg(n) << 200 << qint64(0) << n << "\"other\"";
}

void TestCloudService::byteRanges()
{
    QFETCH(QString, range);
    QFETCH(int, status);
    QFETCH(qint64, start);
    QFETCH(qint64, length);
    QFETCH(QString, ifRange);
    httplib::Client client(m_service.host().toStdString(), m_service.port());
    const auto current = client.Head("/packages/App_1.10.0.zip");
    QVERIFY(current);
    const std::string etag = current->get_header_value("ETag");
    const std::string date = current->get_header_value("Last-Modified");
    QVERIFY(etag.size() > 2 && etag.front() == '"' && etag.back() == '"');
    QVERIFY(QDateTime::fromString(QString::fromStdString(date), Qt::RFC2822Date).isValid());
    httplib::Headers headers;
    if (!range.isEmpty())
        headers.emplace("Range", range.toStdString());
    if (!ifRange.isEmpty())
        headers.emplace("If-Range", ifRange == "etag"     ? etag
                                    : ifRange == "date"   ? date
                                    : ifRange == "W/etag" ? "W/" + etag
                                                          : ifRange.toStdString());

    const auto result = client.Get("/packages/App_1.10.0.zip", headers);
    QVERIFY(result);
    QCOMPARE(result->status, status);
    QCOMPARE(result->get_header_value("ETag"), etag);
    const QString contentRange = QString::fromStdString(result->get_header_value("Content-Range"));
    if (status == 416) {
        QCOMPARE(contentRange, QString("bytes */%1").arg(packageSize));
        return;
    }
    QCOMPARE(QString::fromStdString(result->get_header_value("Content-Length")),
             QString::number(length));
    QCOMPARE(contentRange,
             status == 206
                 ? QString("bytes %1-%2/%3").arg(start).arg(start + length - 1).arg(packageSize)
                 : QString());
    QCOMPARE(qint64(result->body.size()), length);
    QVERIFY(QByteArray::fromStdString(result->body) == m_package.mid(int(start), int(length)));
}

void TestCloudService::validatorFollowsTheFile_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("sameEtag");
    QTest::newRow("untouched") << "" << true;
    QTest::newRow("same bytes renamed over it") << "rename" << false;
    QTest::newRow("modification time only") << "touch" << false;
}

void TestCloudService::validatorFollowsTheFile()
{
    QFETCH(QString, change);
    const QString file = path("packages/changing.bin");
    QVERIFY(writeFile(file, "one version"));
    httplib::Client client(m_service.host().toStdString(), m_service.port());
    const auto before = client.Head("/packages/changing.bin");
    if (change == "rename")
        QVERIFY(writeFile(file, "one version"));
    QFile touched(file);
    if (change == "touch")
        QVERIFY(touched.open(QIODevice::ReadWrite) &&
                touched.setFileTime(touched.fileTime(QFileDevice::FileModificationTime).addSecs(1),
                                    QFileDevice::FileModificationTime));
    const auto after = client.Head("/packages/changing.bin");

    QVERIFY(before && after);
    QTEST(after->get_header_value("ETag") == before->get_header_value("ETag"), "sameEtag");
}

void TestCloudService::packagePaths_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("status");

    QTest::newRow("package") << "/packages/App_1.10.0.zip" << 200;
    QTest::newRow("in a subfolder") << "/packages/sub/inner.bin" << 200;
    QTest::newRow("missing") << "/packages/missing.zip" << 404;
    QTest::newRow("folder") << "/packages/sub" << 404;
    QTest::newRow("nothing") << "/packages/" << 404;
    QTest::newRow("parent") << "/packages/../catalog.json" << 403;
    QTest::newRow("encoded parent") << "/packages/%2e%2e/catalog.json" << 403;
    QTest::newRow("parent from subfolder") << "/packages/sub/../../catalog.json" << 403;
    QTest::newRow("encoded slashes") << "/packages/sub%2f..%2f..%2fcatalog.json" << 403;
    QTest::newRow("parent staying inside") << "/packages/sub/../App_1.10.0.zip" << 403;
    QTest::newRow("link to outside") << "/packages/outside-link" << 403;
}

void TestCloudService::packagePaths()
{
    QFETCH(QString, target);
    httplib::Client client(m_service.host().toStdString(), m_service.port());
    httplib::Headers headers{{"Range", "bytes=0-3"}};

    const auto result = client.Get(target.toStdString().c_str(), headers);
    QVERIFY(result);
    QFETCH(int, status);
    QCOMPARE(result->status == 206 ? 200 : result->status, status);
    if (status != 200)
        QVERIFY(result->body.find("outside") == std::string::npos);
}

void TestCloudService::droppedTransfer()
{
    CloudServiceProcess service;
    QVERIFY(startService(service, {"--fail-package-after", "100000"}));
    httplib::Client client(service.host().toStdString(), service.port());

    for (const qint64 start : {qint64(0), qint64(5000)}) {
        QByteArray received;
        const httplib::Headers headers{{"Range", QString("bytes=%1-").arg(start).toStdString()}};
        const auto result =
            client.Get("/packages/App_1.10.0.zip", headers, [&](const char* data, size_t length) {
                received.append(data, int(length));
                return true;
            });
        QVERIFY(!result);
        QCOMPARE(received.size(), 100000);
        QVERIFY(received == m_package.mid(int(start), 100000));
    }
    QTRY_VERIFY(service.log().contains("dropped as asked after 100000 of"));
}

void TestCloudService::abandonedThrottledTransfer()
{
    CloudServiceProcess service;
    QVERIFY(startService(service, {"--throttle-kbps", "256"}));
    {
        httplib::Client client(service.host().toStdString(), service.port());
        qint64 received = 0;
        const auto result = client.Get("/packages/App_1.10.0.zip", [&](const char*, size_t length) {
            received += qint64(length);
            return false; // the user cancels
        });
        QVERIFY(!result);
        QVERIFY(received > 0 && received < packageSize);
    }
    // The service goes on serving, throttled and byte-exact.
    httplib::Client client(service.host().toStdString(), service.port());
    const auto result = client.Get("/packages/App_1.10.0.zip", {{"Range", "bytes=100-40099"}});
    QVERIFY(result);
    QCOMPARE(result->status, 206);
    QVERIFY(QByteArray::fromStdString(result->body) == m_package.mid(100, 40000));
}

void TestCloudService::delayedAnswer()
{
    CloudServiceProcess service;
    QVERIFY(startService(service, {"--delay-ms", "3000"}));
    const QByteArray body = versionBody("App", "general", "1.0");
    {
        // Far shorter than the delay, so the answer cannot have come yet.
        httplib::Client impatient(service.host().toStdString(), service.port());
        impatient.set_read_timeout(0, 200 * 1000);
        QCOMPARE(post(impatient, body, envelopeHeaders(body)).status, 0);
    }
    httplib::Client client(service.host().toStdString(), service.port());
    QCOMPARE(post(client, body, envelopeHeaders(body)).json.value("success"), QJsonValue(true));
}

void TestCloudService::https()
{
    const QString certificate = path("cert.pem");
    const QString key = path("key.pem");
    const ProcessResult openssl =
        runProcess("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                               "-out", certificate, "-days", "2", "-subj", "/CN=127.0.0.1",
                               "-addext", "subjectAltName=IP:127.0.0.1"});
    QVERIFY2(openssl.finished && openssl.exitCode == 0, openssl.standardError.constData());

    CloudServiceProcess service;
    QVERIFY(startService(service, {"--cert", certificate, "--key", key}));
    QVERIFY(service.baseUrl().startsWith("https://127.0.0.1:"));
    httplib::Client client(service.baseUrl().toStdString());
    client.set_ca_cert_path(certificate.toStdString().c_str());
    client.enable_server_certificate_verification(true);

    const QJsonObject answer = checkVersion(client, "App", "general", "1.0");
    QCOMPARE(answer.value("success"), QJsonValue(true));
    QCOMPARE(answer.value("data").toObject().value("url").toString(),
             service.baseUrl() + "/packages/App_1.10.0.zip");

    const auto package = client.Get("/packages/App_1.10.0.zip", {{"Range", "bytes=-70000"}});
    QVERIFY(package);
    QCOMPARE(package->status, 206);
    QVERIFY(QByteArray::fromStdString(package->body) == m_package.right(70000));
}

void TestCloudService::refusesToStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QVERIFY(writeFile(path("broken.json"), "{\"softwareRoots\": "));
    QVERIFY(writeFile(path("no-version.json"),
                      R"({"softwareRoots":{"App":{"general":{"releases":[{"url":"/p.zip"}]}}}})"));
    QVERIFY(writeFile(path("not-a-cert.pem"), "not a certificate"));
    QVERIFY(writeFile(path("plain.json"), R"({"version":"2.0"})"));
    QVERIFY(!writeEnvelope(path("root.json"), TrustRoot::kPayloadType, "2").isEmpty());
    auto naming = [this](const QString& name, const QString& release, const QString& root) {
        const QString catalog = path(name + ".json");
        writeFile(catalog, QString(R"({"softwareRoots":{"App":{"general":{"releases":[
            {"version":"2.0","url":"/p.zip","release":"%1"}]}}},"roots":["%2"]})")
                               .arg(release, root)
                               .toUtf8());
        return QStringList{"--catalog", catalog};
    };
    const QString place = "softwareRoots.App.general.releases[0]: release file ";
    const QString catalog = path("catalog.json");

    QTest::newRow("no catalog") << QStringList() << 2 << "--catalog";
    QTest::newRow("unknown option")
        << QStringList{"--catalog", catalog, "--bogus", "1"} << 2 << "--bogus";
    QTest::newRow("port out of range")
        << QStringList{"--catalog", catalog, "--port", "70000"} << 2 << "--port";
    QTest::newRow("no threads") << QStringList{"--catalog", catalog, "--threads", "0"} << 2
                                << "--threads";
    QTest::newRow("certificate without key")
        << QStringList{"--catalog", catalog, "--cert", path("cert.pem")} << 2 << "--key";
    QTest::newRow("catalog missing")
        << QStringList{"--catalog", path("none.json")} << 1 << "cannot read";
    QTest::newRow("catalog not JSON")
        << QStringList{"--catalog", path("broken.json")} << 1 << "not valid JSON";
    QTest::newRow("release without version")
        << QStringList{"--catalog", path("no-version.json")} << 1
        << "softwareRoots.App.general.releases[0]: \"version\"";
    QTest::newRow("release file missing") << naming("names-missing", "none.json", "root.json") << 1
                                          << place + "\"none.json\": cannot read";
    QTest::newRow("root file not an envelope")
        << naming("names-plain", "none.json", "plain.json") << 1
        << QString("roots[0]: root file \"plain.json\": %1 is not").arg(path("plain.json"));
    QTest::newRow("root file as release") << naming("names-root", "root.json", "root.json") << 1
                                          << place + "\"root.json\": payload type";
    auto rollout = [this](const QString& name, const QString& member) {
        writeFile(path(name + ".json"), QString(R"({"softwareRoots":{"App":{"general":{"releases":[
            {"version":"2.0","url":"/p.zip","rollout":%1}]}}}})")
                                            .arg(member)
                                            .toUtf8());
        return QStringList{"--catalog", path(name + ".json")};
    };
    QTest::newRow("rollout above 100%")
        << rollout("above", R"({"percent":100.5})") << 1
        << "softwareRoots.App.general.releases[0]: \"rollout\": \"percent\" must be";
    QTest::newRow("rollout finer than hundredths")
        << rollout("finer", R"({"percent":0.125})") << 1 << "at most two decimals";
    QTest::newRow("rollout steps going down")
        << rollout("down", R"({"steps":[5,1],"start":"2026-12-09T08:00:00Z","intervalSeconds":1})")
        << 1 << "steps[1] is below";
    QTest::newRow("rollout start without zone")
        << rollout("zone", R"({"steps":[5],"start":"2026-12-09T08:00:00","intervalSeconds":1})")
        << 1 << "\"start\" must be an ISO 8601 time with its zone";
    QTest::newRow("database of another kind")
        << QStringList{"--catalog", catalog, "--database", "mysql://u@h/d"} << 2 << "--database";
    QTest::newRow("database unreachable")
        << QStringList{"--catalog", catalog, "--database", "postgresql://u@127.0.0.1:1/d"} << 1
        << "cannot open the database";
    QTest::newRow("packages not a folder")
        << QStringList{"--catalog", catalog, "--packages", catalog} << 1 << "packages folder";
    QTest::newRow("certificate unusable")
        << QStringList{"--catalog",           catalog, "--cert", path("not-a-cert.pem"), "--key",
                       path("not-a-cert.pem")}
        << 1 << "certificate";
}

void TestCloudService::refusesToStart()
{
    QFETCH(QStringList, arguments);
    const ProcessResult result = runProcess(CLOUDSERVICE_EXE, arguments);
    QVERIFY(result.finished);
    QTEST(result.exitCode, "exitCode");
    QFETCH(QString, message);
    QVERIFY2(QString::fromUtf8(result.standardError).contains(message),
             result.standardError.constData());
    QVERIFY(result.standardOutput.isEmpty());
}

// Two instances behind nginx, as scripts/serve-fleet.sh runs them; `instance`
// receives the first one's line: "cloudservice 1: URL (pid P, log FILE)".
void TestCloudService::startFleet(QProcess& fleet, int port, QString& instance)
{
    const bool hasNginx =
        !QStandardPaths::findExecutable("nginx").isEmpty() ||
        !QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/local/sbin"}).isEmpty();
    QVERIFY2(hasNginx, "nginx is not installed: scripts/install-deps.sh installs it");
    QVERIFY(QDir(m_dir.path()).mkpath("fleet/packages"));
    QVERIFY(writeFile(path("fleet/fleet.txt"), "new"));
    QCOMPARE(runProcess("zip",
                        {"-q", "-j", path("fleet/packages/Fleet_2.0.zip"), path("fleet/fleet.txt")})
                 .exitCode,
             0);
    QVERIFY(writeFile(path("fleet/catalog.json"), R"({"softwareRoots":{"Fleet":{"general":{
        "releases":[{"version":"2.0","url":"/packages/Fleet_2.0.zip"}]}}}})"));
    fleet.setStandardErrorFile(path("fleet/script.log"));
    fleet.start("bash",
                {SERVE_FLEET_SCRIPT, "--instances", "2", "--catalog", path("fleet/catalog.json"),
                 "--packages", path("fleet/packages"), "--port", QString::number(port),
                 "--cloudservice", CLOUDSERVICE_EXE, "--", "--delay-ms", "100"});
    QString output;
    while (!output.contains("\nfleet: ") && fleet.waitForReadyRead(30000))
        output += QString::fromUtf8(fleet.readAllStandardOutput());
    QVERIFY2(output.contains("\nfleet: "), qPrintable(output + readFile(path("fleet/script.log"))));
    instance = output.section('\n', 0, 0);
}

void TestCloudService::fleetBehindNginx()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close();
    QProcess fleet;
    QString instance;
    startFleet(fleet, port, instance);
    const auto stopFleet = qScopeGuard([&fleet] {
        fleet.terminate();
        fleet.waitForFinished(10000);
    });
    if (QTest::currentTestFailed())
        return;
    const QRegularExpressionMatch first =
        QRegularExpression(R"(\(pid (\d+), log (.+)\)$)").match(instance);
    QVERIFY2(first.hasMatch(), qPrintable(instance));

    // One instance dies in the middle of the series, with checks under way
    // on it (each answer comes after a delay); nginx asks the other one.
    std::atomic<int> answered{0};
    auto series = [&answered, port] {
        httplib::Client client("127.0.0.1", port);
        for (int i = 0; i < 10; ++i)
            answered += checkVersion(client, "Fleet", "general", "1.0").value("success").toBool();
    };
    {
        std::vector<std::thread> clients;
        const auto joinClients = qScopeGuard([&clients] {
            for (std::thread& client : clients)
                client.join();
        });
        for (int i = 0; i < 4; ++i)
            clients.emplace_back(series);
        QTRY_VERIFY_WITH_TIMEOUT(answered >= 20, 30000);
        QCOMPARE(QProcess::execute("kill", {"-KILL", first.captured(1)}), 0);
    }
    QCOMPARE(answered.load(), 40);
    QVERIFY(readFile(first.captured(2)).contains("checkVersion Fleet/general"));

    // The whole update through nginx: the check, then the package it serves.
    TempInstallation installation;
    const QString updater = installation.installExecutable(UPDATE_DRIVER_EXE, "VaDeroru");
    installation.setIni("config.ini", "Version", "ServiceIP", "http://127.0.0.1");
    installation.setIni("config.ini", "Version", "ServicePort", QString::number(port));
    installation.setIni("config.ini", "Version", "Version", "1.0");
    installation.setIni("config/system.ini", "BaseSetting", "LangType", "en_US");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UPDATE_DRIVER_SCRIPT", "window;click:update");
    const ProcessResult result =
        runProcess(updater, {"update", "Fleet", QString()}, environment, 60000);
    QVERIFY2(result.finished && result.exitCode == 0, result.standardOutput.constData());
    QCOMPARE(installation.readFile("fleet.txt"), QByteArray("new"));
    QCOMPARE(installation.ini("config.ini", "Version", "Version"), QString("2.0"));
}

QString TestCloudService::databaseUrl(const QString& backend)
{
    const QString name = QString("db%1").arg(QRandomGenerator::global()->generate());
    if (backend == "sqlite")
        return "sqlite:" + path(name + ".sqlite");
    QString url;
    QString errorText;
    if (!m_postgres) {
        m_postgres = std::make_unique<PostgresCluster>();
        if (!m_postgres->start(errorText))
            qWarning().noquote() << errorText;
    }
    if (!m_postgres->createDatabase(name, url, errorText))
        qWarning().noquote() << errorText;
    return url;
}

void TestCloudService::rolloutGate_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("id"); // inside, outside, none, malformed: toward 2.0's rollout
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("forceVersion");

    QTest::newRow("inside the rollout") << "percent"
                                        << "inside"
                                        << "1.0"
                                        << "2.0"
                                        << "";
    QTest::newRow("outside: the older release") << "percent"
                                                << "outside"
                                                << "1.0"
                                                << "1.5"
                                                << "";
    QTest::newRow("outside, nothing newer") << "percent"
                                            << "outside"
                                            << "1.5"
                                            << "1.5"
                                            << "";
    QTest::newRow("without an id") << "percent"
                                   << "none"
                                   << "1.0"
                                   << "1.5"
                                   << "";
    QTest::newRow("malformed id") << "percent"
                                  << "malformed"
                                  << "1.0"
                                  << "1.5"
                                  << "";
    QTest::newRow("before the first step") << "planned"
                                           << "inside"
                                           << "1.0"
                                           << "1.5"
                                           << "";
    QTest::newRow("last step, without an id") << "grown"
                                              << "none"
                                              << "1.0"
                                              << "2.0"
                                              << "";
    QTest::newRow("halted in the catalog") << "halted"
                                           << "inside"
                                           << "1.0"
                                           << "1.5"
                                           << "";
    QTest::newRow("mandatory ignores it") << "mandatory"
                                          << "outside"
                                          << "1.0"
                                          << "2.0"
                                          << "2.0";
    QTest::newRow("mandatory too") << "mandatoryToo"
                                   << "outside"
                                   << "1.0"
                                   << "1.5"
                                   << "1.5";
}

void TestCloudService::rolloutGate()
{
    if (m_rolloutService.port() == 0) {
        const QString later = R"("steps":[50,100],"start":"2099-01-01T00:00:00+02:00")";
        const QString earlier = R"("steps":[0,100],"start":"2020-01-01T00:00:00Z")";
        QString channels;
        for (const auto& [type, gate] : QList<QPair<QString, QString>>{
                 {"percent", R"("rollout":{"percent":37.5})"},
                 {"planned", QString(R"("rollout":{%1,"intervalSeconds":60})").arg(later)},
                 {"grown", QString(R"("rollout":{%1,"intervalSeconds":60})").arg(earlier)},
                 {"halted", R"("halted":true)"},
                 {"mandatory", R"("mandatory":true,"rollout":{"percent":0})"},
                 {"mandatoryToo",
                  R"("mandatory":true,"rollout":{"percent":0,"mandatoryToo":true})"}})
            channels += QString(R"(,"%1":{"releases":[{"version":"1.5","url":"/1.5.zip",
                "mandatory":%3},{"version":"2.0","url":"/2.0.zip",%2}]})")
                            .arg(type, gate, type == "mandatoryToo" ? "true" : "false");
        QVERIFY(
            writeFile(path("rollout.json"),
                      QString(R"({"softwareRoots":{"App":{%1}}})").arg(channels.mid(1)).toUtf8()));
        QVERIFY(m_rolloutService.start({"--catalog", path("rollout.json")}, path("rollout.log")));
    }
    QFETCH(QString, type);
    QFETCH(QString, id);
    const int share = type == "percent"   ? 3750
                      : type == "planned" ? 5000
                      : type == "halted"  ? 10000
                                          : 1;
    QString sent;
    for (int n = 0; sent.isEmpty() && id != "none"; ++n) {
        const bool inside = bucket(installationId(n), "App", type, "2.0") < share;
        if (inside == (id != "outside"))
            sent = id == "malformed" ? installationId(n).toUpper() : installationId(n);
    }
    httplib::Client client(m_rolloutService.host().toStdString(), m_rolloutService.port());
    httplib::Headers extra;
    if (!sent.isEmpty())
        extra.emplace("X-Installation-Id", sent.toStdString());
    QFETCH(QString, installed);

    const QJsonObject data =
        checkVersion(client, "App", type, installed, extra).value("data").toObject();
    QTEST(data.value("version").toString(), "version");
    QTEST(data.value("forceVersion").toString(), "forceVersion");
    QCOMPARE(data.value("needUpdate").toBool(), data.value("version").toString() != installed);
}

void TestCloudService::refusedReports_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QJsonArray>("reports");
    QTest::addColumn<int>("code");

    const QString id = installationId(1);
    const QJsonObject good = outcome("00000000000000aa", "confirmed");
    QJsonArray tooMany;
    for (int i = 0; i < 21; ++i)
        tooMany.append(good);
    QJsonObject noTime = good;
    noTime.insert("at", "2026-12-09 08:00");
    QTest::newRow("no installation id") << QString() << QJsonArray{good} << 4006;
    QTest::newRow("upper-case installation id") << id.toUpper() << QJsonArray{good} << 4006;
    QTest::newRow("more than 20") << id << tooMany << 4005;
    QTest::newRow("report id not hex")
        << id << QJsonArray{outcome("00000000000000ag", "confirmed")} << 4005;
    QTest::newRow("unknown outcome")
        << id << QJsonArray{outcome("00000000000000aa", "fine")} << 4005;
    QTest::newRow("failed without kind")
        << id << QJsonArray{outcome("00000000000000aa", "failed")} << 4005;
    QTest::newRow("failed, unknown kind")
        << id << QJsonArray{outcome("00000000000000aa", "failed", "weather")} << 4005;
    QTest::newRow("time without zone") << id << QJsonArray{noTime} << 4005;
    tooMany.removeFirst();
    QTest::newRow("accepted, twenty") << id << tooMany << 0;
}

void TestCloudService::refusedReports()
{
    QFETCH(QString, id);
    QFETCH(QJsonArray, reports);
    httplib::Client client(m_service.host().toStdString(), m_service.port());

    const Answer answer = sendReports(client, id, reports);
    QCOMPARE(answer.status, 200);
    QTEST(answer.json.value("code").toInt(), "code");
    const int accepted = answer.json.value("data").toObject().value("accepted").toInt(-1);
    QCOMPARE(accepted, answer.json.value("success").toBool() ? reports.size() : -1);
}

void TestCloudService::haltAndResume_data()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgresql") << "postgresql";
}

void TestCloudService::haltAndResume()
{
    QFETCH(QString, backend);
    if (backend == "postgresql" && PostgresCluster::serverBinaries().isEmpty())
        QSKIP("PostgreSQL server binaries not found: install postgresql");
    const QString url = databaseUrl(backend);
    QVERIFY(!url.isEmpty());
    const QString catalog = path(backend + "-halt.json");
    QVERIFY(writeFile(catalog, R"({"softwareRoots":{"App":{"general":{"releases":[
        {"version":"1.0","url":"/1.0.zip"},
        {"version":"2.0","url":"/2.0.zip","halt":{"percent":50,"minimumInstallations":4}}]}}}})"));
    const QStringList options{"--catalog", catalog, "--database", url, "--metrics"};
    auto service = std::make_unique<CloudServiceProcess>();
    QVERIFY2(service->start(options, path(backend + "-halt.log")),
             qPrintable(service->startError()));
    auto client = std::make_unique<httplib::Client>("127.0.0.1", service->port());

    // Two of four installations bad: the one taken back and, later, the one
    // whose installation failed; a failed download is not the release's.
    const QString id = installationId(7);
    QCOMPARE(sendReports(*client, id,
                         {outcome("000000000000000a", "rolledBack"),
                          outcome("000000000000000a", "rolledBack")})
                 .json.value("code"),
             QJsonValue(0));
    QCOMPARE(
        sendReports(*client, id, {outcome("000000000000000a", "confirmed")}).json.value("code"),
        QJsonValue(0));
    for (const auto& [n, report] :
         {qMakePair(8, outcome("000000000000000b", "failed", "download")),
          qMakePair(9, outcome("000000000000000c", "confirmed")),
          qMakePair(10, outcome("000000000000000d", "awaitingConfirmation"))})
        QCOMPARE(sendReports(*client, installationId(n), {report}).json.value("code"),
                 QJsonValue(0));
    QSqlDatabase database =
        QSqlDatabase::addDatabase(backend == "sqlite" ? "QSQLITE" : "QPSQL", backend);
    const auto dropConnection = qScopeGuard([&database, backend] {
        database = QSqlDatabase();
        QSqlDatabase::removeDatabase(backend);
    });
    const QUrl parts(url);
    database.setDatabaseName(backend == "sqlite" ? url.mid(7) : parts.path().mid(1));
    database.setHostName(parts.host());
    database.setPort(parts.port());
    database.setUserName(parts.userName());
    QVERIFY(database.open());
    QSqlQuery stored(database);
    auto storedRows = [&stored] {
        return stored.exec("SELECT COUNT(*), MAX(LENGTH(reason)), MAX(exit_code) FROM reports") &&
                       stored.next()
                   ? QString("%1 %2 %3")
                         .arg(stored.value(0).toInt())
                         .arg(stored.value(1).toInt())
                         .arg(stored.value(2).toInt())
                   : stored.lastError().text();
    };
    QTRY_COMPARE(storedRows(), QString("4 200 3"));
    QCOMPARE(newestFor(*client, "general", "1.0"), QString("2.0"));

    QCOMPARE(sendReports(*client, installationId(8),
                         {outcome("000000000000000e", "failed", "installation")})
                 .json.value("code"),
             QJsonValue(0));
    QTRY_COMPARE(newestFor(*client, "general", "1.0", id), QString("1.0"));
    QVERIFY(service->log().contains("Release App/general 2.0 halted: 2 of 4 installations"));
    const auto metrics = client->Get("/metrics");
    QVERIFY(metrics &&
            metrics->body.find("cloudservice_release_halted{softwareRoot=\"App\","
                               "versionType=\"general\",version=\"2.0\"} 1") != std::string::npos);

    // The halt outlives the instance; only the vendor lifts it, and what
    // was reported before no longer counts.
    service = std::make_unique<CloudServiceProcess>();
    QVERIFY(service->start(options, path(backend + "-halt-again.log")));
    client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
    QCOMPARE(newestFor(*client, "general", "1.0"), QString("1.0"));
    const QStringList release{"release", "--catalog", catalog,   "--database", url,  "--root",
                              "App",     "--type",    "general", "--version",  "2.0"};
    QCOMPARE(
        runProcess(CLOUDSERVICE_EXE, release.mid(0, 1) + QStringList{"resume"} + release.mid(1))
            .exitCode,
        0);
    QTRY_COMPARE(newestFor(*client, "general", "1.0"), QString("2.0"));
    const ProcessResult shown =
        runProcess(CLOUDSERVICE_EXE, release.mid(0, 1) + QStringList{"show"} + release.mid(1));
    QVERIFY2(shown.standardOutput.contains("halted: no\n") &&
                 shown.standardOutput.contains("0 installations reported it, 0 of them bad"),
             shown.standardOutput.constData());
    httplib::Client plain("127.0.0.1", m_service.port());
    const auto notServed = plain.Get("/metrics");
    QVERIFY(notServed && notServed->status == 404);
}

void TestCloudService::releaseCommand_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("offered"); // without an id, once the service has read the catalog

    QTest::newRow("a share") << QStringList{"rollout", "--percent", "12.5"} << 0
                             << "rollout: 12.50% now"
                             << "1.0";
    QTest::newRow("everyone again")
        << QStringList{"rollout", "--percent", "100"} << 0 << "rollout: 100% now"
        << "2.0";
    QTest::newRow("steps from now")
        << QStringList{"rollout", "--steps", "1,5,25,100", "--interval", "3600"} << 0
        << "1% now, steps 1%, 5%, 25%, 100%, one every 3600 s"
        << "1.0";
    QTest::newRow("finer than hundredths")
        << QStringList{"rollout", "--percent", "0.125"} << 2 << "--percent"
        << "1.0";
    QTest::newRow("steps going down")
        << QStringList{"rollout", "--steps", "5,1", "--interval", "60"} << 2 << "--steps"
        << "1.0";
    QTest::newRow("steps without interval")
        << QStringList{"rollout", "--steps", "5"} << 2 << "--interval"
        << "1.0";
    QTest::newRow("unknown action") << QStringList{"stop"} << 2 << "first word"
                                    << "1.0";
    QTest::newRow("unknown release")
        << QStringList{"halt", "--version", "9.9"} << 1 << "no release App/general 9.9"
        << "1.0";
}

void TestCloudService::releaseCommand()
{
    QFETCH(QStringList, arguments);
    const QString catalog = path("command.json");
    CloudServiceProcess& service = m_commandService;
    if (service.port() == 0) {
        QVERIFY(writeFile(catalog, R"({"softwareRoots":{"App":{"general":{"releases":[
            {"version":"1.0","url":"/1.0.zip"},{"version":"2.0","url":"/2.0.zip"}]}}}})"));
        QVERIFY(service.start({"--catalog", catalog}, path("command.log")));
    }
    const QStringList release{"--catalog", catalog, "--root", "App", "--type", "general"};
    const ProcessResult result = runProcess(
        CLOUDSERVICE_EXE,
        QStringList{"release", arguments.value(0)} + release +
            (arguments.contains("--version") ? QStringList() : QStringList{"--version", "2.0"}) +
            arguments.mid(1));
    QTEST(result.exitCode, "exitCode");
    QFETCH(QString, output);
    QVERIFY2(QString::fromLocal8Bit(result.standardOutput + result.standardError).contains(output),
             (result.standardOutput + result.standardError).constData());
    httplib::Client client(service.host().toStdString(), service.port());
    QFETCH(QString, offered);
    QTRY_COMPARE(newestFor(client, "general", "1.0"), offered);
}

QTEST_GUILESS_MAIN(TestCloudService)
#include "tst_cloudservice.moc"
