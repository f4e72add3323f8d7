// The signed request envelope, its outcomes and the version check, against
// real servers on 127.0.0.1.

#include "LocalHttpServer.h"
#include "LogCapture.h"
#include "RawRequestCatcher.h"

#include "service/BaseService.h"
#include "service/HttpTransport.h"
#include "service/TrustedSsl.h"
#include "service/VersionCheckResult.h"
#include "widgets/WaitingLoadWidget.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <algorithm>
#include <memory>

namespace {

const QString kCheckPath = QStringLiteral("/version/checkVersion");

void answerWith(LocalHttpServer& server, int status, const std::string& body)
{
    server.setHandler([status, body](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/json");
    });
}

// A memory figure of this process from /proc/self/status, in KiB.
qint64 statusKiB(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Lets VmHWM start again from the present resident size.
bool resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

} // namespace

class BaseServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void composesServiceUrl_data();
    void composesServiceUrl();
    void stampsSevenSignedHeaders_data();
    void stampsSevenSignedHeaders();
    void sendsEachMethod_data();
    void sendsEachMethod();
    void unknownMethodSendsNothing();
    void successReturnsWholeAnswer();
    void failureOutcomes_data();
    void failureOutcomes();
    void noAnswerTimesOut();
    void refusesUntrustedCertificate();
    void trustsBundledCertificate();
    void failsOversizedAnswer();
    void logsLongBodiesCut_data();
    void logsLongBodiesCut();
    void checkVersionSendsExactBody();
    void checkVersionFillsResult_data();
    void checkVersionFillsResult();
    void checkVersionFailureLeavesResult();
    // Must stay last: once the application quits, no later event loop runs.
    void quittingEndsTheWait();

private:
    bool request(BaseService::RequestMethod method, const QString& path, const QByteArray& body,
                 QJsonObject& response, QString& errorText, bool quiet = true);

    // Installed once the test framework has set up its own message handler.
    std::unique_ptr<LogCapture> m_log;
    LocalHttpServer m_server;
    std::shared_ptr<Gate> m_gate;
    QTemporaryDir m_certificates;
};

bool BaseServiceTest::request(BaseService::RequestMethod method, const QString& path,
                              const QByteArray& body, QJsonObject& response, QString& errorText,
                              bool quiet)
{
    return BaseService::instance()->sendRequest(method, path, body, response, errorText, quiet);
}

void BaseServiceTest::initTestCase()
{
    m_log = std::make_unique<LogCapture>();
    // A run that was killed half-way may have left its bundle behind.
    QFile::remove(extraCaBundlePath());
    QVERIFY(m_server.start());
    QVERIFY(m_certificates.isValid());
    const int openssl = QProcess::execute(
        QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
         QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
         QStringLiteral("-keyout"), m_certificates.filePath(QStringLiteral("key.pem")),
         QStringLiteral("-out"), m_certificates.filePath(QStringLiteral("cert.pem")),
         QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
         QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
         QStringLiteral("subjectAltName=IP:127.0.0.1")});
    QCOMPARE(openssl, 0);
}

void BaseServiceTest::init()
{
    m_gate = std::make_shared<Gate>();
    m_server.setHandler([](const httplib::Request&, httplib::Response& response) {
        response.set_content("{\"success\":true}", "application/json");
    });
    m_server.clearRequests();
    m_log->clear();
    BaseService::instance()->setServiceContext(m_server.address(), QString(), QString(), false);
}

void BaseServiceTest::cleanup()
{
    m_gate->open();
}

void BaseServiceTest::composesServiceUrl_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expected");
    QTest::newRow("address and port") << "127.0.0.1:8080"
                                      << "http://127.0.0.1:8080";
    QTest::newRow("http kept") << "http://h:1"
                               << "http://h:1";
    QTest::newRow("capital HTTPS kept") << "HTTPS://h:1"
                                        << "HTTPS://h:1";
    QTest::newRow("scheme anywhere") << "proxy/https://h"
                                     << "proxy/https://h";
    QTest::newRow("other scheme") << "ftp://h"
                                  << "http://ftp://h";
    QTest::newRow("empty") << ""
                           << "http://";
}

void BaseServiceTest::composesServiceUrl()
{
    QFETCH(QString, address);
    QFETCH(QString, expected);
    QCOMPARE(normalizeServiceUrl(address), expected);
}

void BaseServiceTest::stampsSevenSignedHeaders_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("langType");
    QTest::addColumn<bool>("quiet");
    QTest::newRow("null token and language") << QString() << QString() << true;
    QTest::newRow("empty token and language") << ""
                                              << "" << true;
    QTest::newRow("token and language") << "tk-42"
                                        << "zh_CN" << true;
    QTest::newRow("with indicator") << "tk-42"
                                    << "en_US" << false;
}

void BaseServiceTest::stampsSevenSignedHeaders()
{
    QFETCH(QString, token);
    QFETCH(QString, langType);
    QFETCH(bool, quiet);
    RawRequestCatcher catcher;
    QVERIFY(catcher.listen());
    bool indicatorShownDuringRequest = false;
    catcher.setOnRequest(
        [&]() { indicatorShownDuringRequest = WaitingLoadWidget::instance()->isVisible(); });
    BaseService::instance()->setServiceContext(QStringLiteral("127.0.0.1:%1").arg(catcher.port()),
                                               token, langType, false);

    const QByteArray body = "{\"a\":1}";
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QJsonObject response;
    QString errorText;
    QVERIFY(request(BaseService::Post, kCheckPath, body, response, errorText, quiet));
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QList<QByteArray> ours;
    QMap<QByteArray, QByteArray> values;
    const QList<QByteArray> sevenNames = {"platform", "langtype", "version",     "timestamp",
                                          "token",    "sign",     "content-type"};
    for (const QByteArray& line : catcher.headerLines()) {
        const int colon = line.indexOf(':');
        const QByteArray name = line.left(colon).toLower();
        if (sevenNames.contains(name)) {
            ours.append(name);
            values.insert(name, line.mid(colon + 1).trimmed());
        }
    }
    QCOMPARE(ours, sevenNames);
    QCOMPARE(values.value("platform"), QByteArray("2"));
    QCOMPARE(values.value("langtype"), langType.toUtf8());
    QCOMPARE(values.value("version"), QByteArray("1.0.0"));
    QCOMPARE(values.value("token"), token.toUtf8());
    QCOMPARE(values.value("content-type"), QByteArray("application/json;charset=UTF-8"));

    const QByteArray timestamp = values.value("timestamp");
    QVERIFY(timestamp.toLongLong() >= before && timestamp.toLongLong() <= after);
    QCOMPARE(QByteArray::number(timestamp.toLongLong()), timestamp);
    const QByteArray expectedSign =
        QCryptographicHash::hash(token.toLatin1() + timestamp + body, QCryptographicHash::Md5)
            .toHex();
    QCOMPARE(values.value("sign"), expectedSign);
    QCOMPARE(catcher.body(), body);

    QCOMPARE(indicatorShownDuringRequest, !quiet);
    QVERIFY(!WaitingLoadWidget::instance()->isVisible());
    QVERIFY(m_log->contains(QStringLiteral("Url: [http://127.0.0.1:%1/cloudService%2] Request:%3")
                                .arg(catcher.port())
                                .arg(kCheckPath, QString::fromUtf8(body))));
}

void BaseServiceTest::sendsEachMethod_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expectedMethod");
    QTest::addColumn<QString>("expectedBody");
    QTest::addColumn<QString>("expectedQueryValue");
    QTest::newRow("GET appends the body as query") << 0 << QByteArray("?name=a%20b&n=1") << "GET"
                                                   << ""
                                                   << "a b";
    QTest::newRow("POST") << 1 << QByteArray("{\"p\":1}") << "POST"
                          << "{\"p\":1}"
                          << "";
    QTest::newRow("PUT") << 2 << QByteArray("{\"p\":2}") << "PUT"
                         << "{\"p\":2}"
                         << "";
    QTest::newRow("DELETE leaves the body out") << 3 << QByteArray("{\"p\":3}") << "DELETE"
                                                << ""
                                                << "";
}

void BaseServiceTest::sendsEachMethod()
{
    QFETCH(int, method);
    QFETCH(QByteArray, body);
    QFETCH(QString, expectedMethod);
    QFETCH(QString, expectedBody);
    QFETCH(QString, expectedQueryValue);

    QJsonObject response;
    QString errorText;
    QVERIFY(request(static_cast<BaseService::RequestMethod>(method), QStringLiteral("/item"), body,
                    response, errorText));
    const std::vector<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), size_t(1));
    const RecordedRequest& received = requests.front();
    QCOMPARE(QString::fromStdString(received.method), expectedMethod);
    QCOMPARE(QString::fromStdString(received.path), QStringLiteral("/cloudService/item"));
    QCOMPARE(QString::fromStdString(received.body), expectedBody);
    const auto name = received.params.find("name");
    QCOMPARE(name == received.params.end() ? QString() : QString::fromStdString(name->second),
             expectedQueryValue);
}

void BaseServiceTest::unknownMethodSendsNothing()
{
    QJsonObject response;
    QString errorText;
    QVERIFY(!request(static_cast<BaseService::RequestMethod>(4), kCheckPath, "{}", response,
                     errorText, false));
    QCOMPARE(errorText, QStringLiteral("Service returns empty"));
    QVERIFY(m_server.requests().empty());
    QVERIFY(!WaitingLoadWidget::instance()->isVisible());
}

void BaseServiceTest::successReturnsWholeAnswer()
{
    answerWith(m_server, 200, R"({"success":true,"code":0,"message":"ok","data":{"k":[1,2]}})");
    QJsonObject response;
    QString errorText = QStringLiteral("untouched");
    QVERIFY(request(BaseService::Post, kCheckPath, "{}", response, errorText));
    QCOMPARE(response, QJsonDocument::fromJson(R"({"success":true,"code":0,"message":"ok",)"
                                               R"("data":{"k":[1,2]}})")
                           .object());
    QCOMPARE(errorText, QStringLiteral("untouched"));
}

void BaseServiceTest::failureOutcomes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedError");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<int>("expectedReloads");

    const QString check = kCheckPath;
    QTest::newRow("HTTP 404") << 404 << QByteArray("missing") << check
                              << " Request error:Content error" << 203 << 0;
    QTest::newRow("HTTP 500") << 500 << QByteArray("broken") << check
                              << " Request error:Server-side error" << 401 << 0;
    QTest::newRow("empty body") << 200 << QByteArray() << check << "Service returns empty" << 0
                                << 0;
    QTest::newRow("not JSON") << 200 << QByteArray("<html>") << check << "Json parse fault" << 0
                              << 0;
    QTest::newRow("JSON null") << 200 << QByteArray("null") << check << "Json parse fault" << 0
                               << 0;
    QTest::newRow("success as a string")
        << 200 << QByteArray(R"({"success":"true"})") << check << "code:0 <br> error:" << 0 << 0;
    QTest::newRow("top-level array")
        << 200 << QByteArray(R"([{"success":true}])") << check << "code:0 <br> error:" << 0 << 0;
    QTest::newRow("login expired")
        << 200 << QByteArray(R"({"success":false,"code":1001,"message":"m"})") << check
        << "code:1001 <br> error:m" << 0 << 1;
    QTest::newRow("login expired on logout")
        << 200 << QByteArray(R"({"success":false,"code":1001,"message":"m"})") << "/user/logout"
        << "code:1001 <br> error:m" << 0 << 0;
    QTest::newRow("login expired below logout")
        << 200 << QByteArray(R"({"success":false,"code":1001,"message":"m"})") << "/user/logout/all"
        << "code:1001 <br> error:m" << 0 << 1;
    QTest::newRow("mistyped code and message")
        << 200 << QByteArray(R"({"success":false,"code":"1001","message":7})") << check
        << "code:0 <br> error:" << 0 << 0;
}

void BaseServiceTest::failureOutcomes()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, path);
    QFETCH(QString, expectedError);
    QFETCH(int, expectedCode);
    QFETCH(int, expectedReloads);

    answerWith(m_server, status, body.toStdString());
    QSignalSpy reloads(BaseService::instance(), &BaseService::signalsReloadLogin);
    const QJsonObject before{{QStringLiteral("kept"), 1}};
    QJsonObject response = before;
    QString errorText;
    QVERIFY(!request(BaseService::Post, path, "{}", response, errorText, false));
    QCOMPARE(errorText, expectedError);
    QCOMPARE(response, before);
    QCOMPARE(reloads.count(), expectedReloads);
    QVERIFY(!WaitingLoadWidget::instance()->isVisible());
    // The body of a failed reply is logged, not shown.
    QVERIFY(m_log->contains(QStringLiteral("Url: [%1] HttpCode:%2 Response:%3")
                                .arg(path)
                                .arg(expectedCode)
                                .arg(QString::fromUtf8(body))));
}

void BaseServiceTest::noAnswerTimesOut()
{
    std::shared_ptr<Gate> gate = m_gate;
    m_server.setHandler([gate](const httplib::Request&, httplib::Response& response) {
        gate->wait();
        response.set_content("{\"success\":true}", "application/json");
    });
    QJsonObject response;
    QString errorText;
    QVERIFY(!request(BaseService::Post, kCheckPath, "{}", response, errorText));
    QCOMPARE(errorText, QStringLiteral(" Request error:Server connection error"));
    QVERIFY(response.isEmpty());
    QVERIFY(m_log->contains(QStringLiteral("Url: [%1] HttpCode:4 Response:").arg(kCheckPath)));
}

void BaseServiceTest::refusesUntrustedCertificate()
{
    QVERIFY(!QFile::exists(extraCaBundlePath()));
    LocalHttpServer secure(m_certificates.filePath(QStringLiteral("cert.pem")),
                           m_certificates.filePath(QStringLiteral("key.pem")));
    QVERIFY(secure.start());
    const QString address = QStringLiteral("https://") + secure.address();
    BaseService::instance()->setServiceContext(address, QString(), QString(), false);

    QJsonObject response;
    QString errorText;
    QVERIFY(!request(BaseService::Post, kCheckPath, "{}", response, errorText));
    QCOMPARE(errorText, QStringLiteral(" Request error:Server connection error"));
    QVERIFY(secure.requests().empty());
    const QString sslLine =
        QStringLiteral("Url: [%1/cloudService%2] SslErrors:").arg(address, kCheckPath);
    QVERIFY(m_log->contains(sslLine));
    QVERIFY(m_log->lines().filter(sslLine).first().contains(QStringLiteral("self-signed")));
}

void BaseServiceTest::trustsBundledCertificate()
{
    const QString bundle = extraCaBundlePath();
    QVERIFY(!QFile::exists(bundle));
    const QString configDir = QFileInfo(bundle).path();
    const bool madeConfigDir = !QDir(configDir).exists();
    QVERIFY(QDir().mkpath(configDir));
    QVERIFY(QFile::copy(m_certificates.filePath(QStringLiteral("cert.pem")), bundle));
    const auto removeBundle = qScopeGuard([&]() {
        QFile::remove(bundle);
        if (madeConfigDir)
            QDir().rmdir(configDir);
    });

    LocalHttpServer secure(m_certificates.filePath(QStringLiteral("cert.pem")),
                           m_certificates.filePath(QStringLiteral("key.pem")));
    QVERIFY(secure.start());
    BaseService::instance()->setServiceContext(QStringLiteral("https://") + secure.address(),
                                               QString(), QString(), false);
    QJsonObject response;
    QString errorText;
    QVERIFY2(request(BaseService::Post, kCheckPath, "{}", response, errorText),
             qPrintable(errorText));
    QCOMPARE(secure.requests().size(), size_t(1));
    QVERIFY(!m_log->contains(QStringLiteral("SslErrors:")));
}

void BaseServiceTest::failsOversizedAnswer()
{
    // Far more than the cap: a client that buffered it all would grow by it.
    constexpr size_t kStreamed = size_t(512) * 1024 * 1024;
    m_server.setHandler([](const httplib::Request&, httplib::Response& response) {
        size_t sent = 0;
        response.set_chunked_content_provider("application/json",
                                              [sent](size_t, httplib::DataSink& sink) mutable {
                                                  static const std::string chunk(64 * 1024, 'x');
                                                  if (sent >= kStreamed) {
                                                      sink.done();
                                                      return true;
                                                  }
                                                  sent += chunk.size();
                                                  return sink.write(chunk.data(), chunk.size());
                                              });
    });

    QVERIFY(resetPeakMemory());
    const qint64 residentBefore = statusKiB("VmRSS");
    QJsonObject response;
    QString errorText;
    QVERIFY(!request(BaseService::Post, kCheckPath, "{}", response, errorText));
    const qint64 peakGrowth = statusKiB("VmHWM") - residentBefore;

    QCOMPARE(errorText, QStringLiteral(" Request error:Server connection error"));
    QVERIFY(m_log->contains(QStringLiteral("Response larger than %1 bytes").arg(kMaxReplyBytes)));
    QVERIFY(m_log->contains(QStringLiteral("Url: [%1] HttpCode:%2 Response:")
                                .arg(kCheckPath)
                                .arg(int(QNetworkReply::OperationCanceledError))));
    QVERIFY2(peakGrowth < 128 * 1024, qPrintable(QString::number(peakGrowth) + " KiB"));
}

void BaseServiceTest::logsLongBodiesCut_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("lineEnd");

    const QByteArray start = "{\"success\":true,\"notes\":\"";
    const auto answerOf = [&start](const QByteArray& notes) { return start + notes + "\"}"; };
    const QByteArray whole = answerOf(QByteArray(4096 - start.size() - 2, 'n'));
    QTest::newRow("answer of 4 KiB whole")
        << QByteArray("{}") << whole << QStringLiteral("Response:") + QString::fromUtf8(whole);
    const QByteArray longer = answerOf(QByteArray(5000, 'n'));
    QTest::newRow("longer answer") << QByteArray("{}") << longer
                                   << QStringLiteral("Response:%1... [4096 of %2 bytes logged]")
                                          .arg(QString::fromUtf8(longer.left(4096)))
                                          .arg(longer.size());
    // The three bytes of 启 lie across the cut; none of them is logged.
    const QByteArray across =
        answerOf(QByteArray(4095 - start.size(), 'n') + QByteArray("启") + QByteArray(100, 'n'));
    QTest::newRow("character across the cut")
        << QByteArray("{}") << across
        << QStringLiteral("Response:%1... [4095 of %2 bytes logged]")
               .arg(QString::fromUtf8(across.left(4095)))
               .arg(across.size());
    const QByteArray request = "{\"r\":\"" + QByteArray(6000, 'r') + "\"}";
    QTest::newRow("longer request") << request << QByteArray("{\"success\":true}")
                                    << QStringLiteral("Request:%1... [4096 of %2 bytes logged]")
                                           .arg(QString::fromUtf8(request.left(4096)))
                                           .arg(request.size());
}

void BaseServiceTest::logsLongBodiesCut()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(QString, lineEnd);
    answerWith(m_server, 200, answer.toStdString());
    QJsonObject response;
    QString errorText;
    QVERIFY(this->request(BaseService::Post, kCheckPath, request, response, errorText));
    const QStringList lines = m_log->lines();
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                         [&lineEnd](const QString& line) { return line.endsWith(lineEnd); }),
             qPrintable(lineEnd.right(60)));
}

void BaseServiceTest::checkVersionSendsExactBody()
{
    answerWith(m_server, 200, R"({"success":true})");
    VersionCheckResult result;
    QString errorText;
    QVERIFY(BaseService::instance()->checkVersion(
        QStringLiteral("2"), QStringLiteral("R \"x\""), QStringLiteral("general"),
        QStringLiteral("1.0.3"), result, errorText, true));
    const std::vector<RecordedRequest> requests = m_server.requests();
    QCOMPARE(requests.size(), size_t(1));
    QCOMPARE(QString::fromStdString(requests.front().method), QStringLiteral("POST"));
    QCOMPARE(QString::fromStdString(requests.front().path),
             QStringLiteral("/cloudService/version/checkVersion"));
    QCOMPARE(QByteArray::fromStdString(requests.front().body),
             QByteArray("{\"platformType\":\"2\",\"softwareRoot\":\"R \\\"x\\\"\",\"version\":"
                        "\"1.0.3\",\"versionType\":\"general\"}"));
}

void BaseServiceTest::checkVersionFillsResult_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("needUpdate");
    QTest::newRow("no data") << QByteArray(R"({"success":true})") << ""
                             << "" << false;
    QTest::newRow("data not an object") << QByteArray(R"({"success":true,"data":"2.0"})") << ""
                                        << "" << false;
    QTest::newRow("offer") << QByteArray(R"({"success":true,"data":{"version":"2.1.0",)"
                                         R"("url":"http://h/p.zip","needUpdate":true}})")
                           << "2.1.0"
                           << "http://h/p.zip" << true;
    QTest::newRow("version without url")
        << QByteArray(R"({"success":true,"data":{"version":"2.1.0","needUpdate":"true"}})")
        << "2.1.0"
        << "" << false;
}

void BaseServiceTest::checkVersionFillsResult()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, version);
    QFETCH(QString, url);
    QFETCH(bool, needUpdate);
    answerWith(m_server, 200, answer.toStdString());
    VersionCheckResult result;
    QString errorText;
    QVERIFY(BaseService::instance()->checkVersion(
        QStringLiteral("2"), QStringLiteral("root"), QStringLiteral("general"),
        QStringLiteral("1.0.0"), result, errorText, true));
    QCOMPARE(result.version, version);
    QCOMPARE(result.url, url);
    QCOMPARE(result.needUpdate, needUpdate);
    QVERIFY(errorText.isEmpty());
}

void BaseServiceTest::checkVersionFailureLeavesResult()
{
    answerWith(m_server, 200,
               R"({"success":false,"code":7,"message":"no such root",)"
               R"("data":{"version":"9"}})");
    VersionCheckResult result;
    result.version = QStringLiteral("kept");
    QString errorText;
    QVERIFY(!BaseService::instance()->checkVersion(
        QStringLiteral("2"), QStringLiteral("root"), QStringLiteral("general"),
        QStringLiteral("1.0.0"), result, errorText, true));
    QCOMPARE(errorText, QStringLiteral("code:7 <br> error:no such root"));
    QCOMPARE(result.version, QStringLiteral("kept"));
}

void BaseServiceTest::quittingEndsTheWait()
{
    // The server asks the application to quit once the request is in, and
    // then holds the answer back far beyond the time-out.
    std::shared_ptr<Gate> gate = m_gate;
    QCoreApplication* application = QCoreApplication::instance();
    m_server.setHandler([gate, application](const httplib::Request&, httplib::Response& response) {
        QMetaObject::invokeMethod(application, &QCoreApplication::quit, Qt::QueuedConnection);
        gate->wait();
        response.set_content("{\"success\":true}", "application/json");
    });
    QJsonObject response;
    QString errorText;
    QVERIFY(!request(BaseService::Post, kCheckPath, "{}", response, errorText));
    QCOMPARE(errorText, QStringLiteral("Service returns empty"));
    QCOMPARE(m_server.requests().size(), size_t(1));
}

QTEST_MAIN(BaseServiceTest)
#include "tst_baseservice.moc"
