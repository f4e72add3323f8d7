#include "HttpTestServer.h"
#include "download/DownloadFileNet.h"
#include "download/PartialDownload.h"
#include "download/ProgressDialog.h"
#include "service/TrustedSsl.h"
#include "support/FileTree.h"
#include "trust/Sha256.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

constexpr int kPayloadSize = 300 * 1024;
constexpr size_t kSlowSize = 8 * 1024 * 1024;
constexpr size_t kShortAnnounced = 100000;
constexpr qint64 kCut = 100000;
constexpr int kWindowMs = 1000; // the low-speed window, where a test shortens it
const char* const kBinary = "application/octet-stream";
const char* const kDate = "Tue, 08 Dec 2026 13:49:50 GMT";

QStringList g_messages;
QtMessageHandler g_previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    g_messages.append(message);
    g_previousHandler(type, context, message);
}

bool logged(const QString& text)
{
    for (const QString& message : qAsConst(g_messages)) {
        if (message.contains(text))
            return true;
    }
    return false;
}

QByteArray makePayload()
{
    QByteArray data(kPayloadSize, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 31 + i / 1024) % 253);
    return data;
}

// The pauses before retries, in the order logged.
QStringList loggedPauses()
{
    static const QRegularExpression pause("Download: retry \\d+ of \\d+ in (\\d+) s");
    QStringList pauses;
    for (const QString& message : qAsConst(g_messages)) {
        const QRegularExpressionMatch match = pause.match(message);
        if (match.hasMatch())
            pauses << match.captured(1);
    }
    return pauses;
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// How "/pkg" answers in one test: a file that can be resumed behind a
// strong ETag unless a test says otherwise.
struct PackageRoute
{
    QByteArray content;
    QByteArray changedTo; // served under ETag "v2" from the second request on
    std::string etag = "\"v1\"";
    std::string lastModified;
    bool honoursRange = true;
    std::string contentRange; // sent for a range instead of the true one
    qint64 cutAt = -1;        // the first transfer drops the connection at this offset
    bool drips = false;       // or from there on sends a byte every 20 ms
    QList<int> failures;      // statuses answered before the file, one per request
    std::string retryAfter;
};

} // namespace

class TestDownloadFileNet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void keepsExactBytes_data();
    void keepsExactBytes();
    void failureLeavesNoFile_data();
    void failureLeavesNoFile();
    void cancelLeavesNoFile_data();
    void cancelLeavesNoFile();
    void cancelWithoutReplyDoesNothing();
    void forwardsProgress_data();
    void forwardsProgress();
    void verifiesCertificates_data();
    void verifiesCertificates();
    void unopenableTargetFails_data();
    void unopenableTargetFails();
    void writeErrorFails();
    void resumesAfterACut_data();
    void resumesAfterACut();
    void keptPart_data();
    void keptPart();
    void retriesBusyServer_data();
    void retriesBusyServer();

private:
    void servePackage(const httplib::Request& request, httplib::Response& response);
    DownloadFileNet& prepare(DownloadFileNet& download);
    QString part() const { return PartialDownload::partPath(target()); }
    QString record() const { return PartialDownload::recordPath(target()); }
    void addPlainRoutes();
    void addSecureRoutes();
    QString target() const { return m_dir->filePath(QStringLiteral("downloads/update/pkg.zip")); }
    QString urlFor(const QString& path) const;

    const QByteArray m_payload = makePayload();
    QTemporaryDir m_certificateDir;
    QString m_certificate;
    std::unique_ptr<HttpTestServer> m_http;
    std::unique_ptr<HttpTestServer> m_https;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::atomic<int> m_stallRound{0};
    std::mutex m_routeLock;
    PackageRoute m_route;
    QByteArrayList m_seen; // Range and If-Range of each request to "/pkg"
};

void TestDownloadFileNet::initTestCase()
{
    g_previousHandler = qInstallMessageHandler(captureMessage);
    QVERIFY(m_certificateDir.isValid());
    m_certificate = m_certificateDir.filePath("cert.pem");
    const QString key = m_certificateDir.filePath("key.pem");
    const int made = QProcess::execute(
        "openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", m_certificate, "-days", "2", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    QCOMPARE(made, 0);

    m_http = std::make_unique<HttpTestServer>();
    addPlainRoutes();
    QVERIFY(m_http->start());
    m_https = std::make_unique<HttpTestServer>(m_certificate, key);
    addSecureRoutes();
    QVERIFY(m_https->start());
}

void TestDownloadFileNet::addPlainRoutes()
{
    httplib::Server& routes = m_http->routes();
    routes.Get("/file", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(m_payload.constData(), size_t(m_payload.size()), kBinary);
    });
    routes.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/file", 302);
        response.set_content("redirect page", kBinary);
    });
    routes.Get("/nolocation", [](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_content("moved, but nowhere", kBinary);
    });
    routes.Get("/choices", [](const httplib::Request&, httplib::Response& response) {
        response.status = 300;
        response.set_content("pick one of several", kBinary);
    });
    routes.Get("/short", [this](const httplib::Request&, httplib::Response& response) {
        // Announces the full length, sends half of it and drops the connection.
        response.set_content_provider(
            kShortAnnounced, kBinary, [this](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset >= kShortAnnounced / 2)
                    return false;
                return sink.write(m_payload.constData() + offset, kShortAnnounced / 2 - offset);
            });
    });
    routes.Get("/chunked", [this](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            kBinary, [this](size_t offset, httplib::DataSink& sink) {
                if (offset >= size_t(m_payload.size())) {
                    sink.done();
                    return true;
                }
                // Paced, so that the client sees several reports before the end.
                if (offset > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const size_t piece = std::min<size_t>(16 * 1024, size_t(m_payload.size()) - offset);
                return sink.write(m_payload.constData() + offset, piece);
            });
    });
    routes.Get("/slow", [](const httplib::Request&, httplib::Response& response) {
        // Runs until the client goes away; far longer than any test waits.
        response.set_content_provider(
            kSlowSize, kBinary, [](size_t offset, size_t, httplib::DataSink& sink) {
                static const std::string block(4096, 's');
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return sink.write(block.data(), std::min(block.size(), kSlowSize - offset));
            });
    });
    routes.Get("/stall", [this](const httplib::Request&, httplib::Response& response) {
        // Sends the headers, then nothing until the test function is over,
        // which frees the thread.
        const int round = m_stallRound;
        response.set_content_provider(
            kPayloadSize, kBinary, [this, round](size_t, size_t, httplib::DataSink&) {
                while (m_stallRound == round)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return false;
            });
    });
    routes.Get("/pkg", [this](const httplib::Request& request, httplib::Response& response) {
        servePackage(request, response);
    });
}

void TestDownloadFileNet::servePackage(const httplib::Request& request, httplib::Response& response)
{
    std::lock_guard<std::mutex> lock(m_routeLock);
    const std::string ifRange = request.get_header_value("If-Range");
    m_seen.append(QByteArray::fromStdString(request.get_header_value("Range") + " " + ifRange));
    if (!m_route.failures.isEmpty()) {
        response.status = m_route.failures.takeFirst();
        if (!m_route.retryAfter.empty())
            response.set_header("Retry-After", m_route.retryAfter);
        return;
    }
    if (m_seen.size() > 1 && !m_route.changedTo.isEmpty()) {
        m_route.content = m_route.changedTo;
        m_route.etag = "\"v2\"";
    }
    if (!m_route.etag.empty())
        response.set_header("ETag", m_route.etag);
    if (!m_route.lastModified.empty())
        response.set_header("Last-Modified", m_route.lastModified);
    const bool weak = m_route.etag.rfind("W/", 0) == 0;
    const bool ranged = m_route.honoursRange && request.ranges.size() == 1 &&
                        ifRange == (weak ? m_route.lastModified : m_route.etag);
    const QByteArray content = m_route.content;
    const size_t size = size_t(content.size());
    const size_t start = ranged ? size_t(request.ranges.front().first) : 0;
    const_cast<httplib::Request&>(request).ranges.clear();
    if (ranged) {
        const std::string range =
            QString("bytes %1-%2/%3").arg(start).arg(size - 1).arg(size).toStdString();
        response.status = start < size ? 206 : 416;
        response.set_header("Content-Range",
                            m_route.contentRange.empty() ? range : m_route.contentRange);
        if (start >= size)
            return;
    }
    const qint64 cut = std::exchange(m_route.cutAt, -1);
    const bool drips = std::exchange(m_route.drips, false);
    response.set_content_provider(
        size - start, kBinary,
        [content, start, cut, drips](size_t offset, size_t length, httplib::DataSink& sink) {
            const size_t at = start + offset;
            if (drips && at >= size_t(cut)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return sink.write(content.constData() + at, 1);
            }
            const size_t end = cut >= 0 ? std::min(at + length, size_t(cut)) : at + length;
            return at < end &&
                   sink.write(content.constData() + at, std::min<size_t>(end - at, 65536));
        });
}

void TestDownloadFileNet::addSecureRoutes()
{
    httplib::Server& routes = m_https->routes();
    routes.Get("/file", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(m_payload.constData(), size_t(m_payload.size()), kBinary);
    });
    routes.Get("/to-http", [this](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(m_http->url("/file").toStdString(), 302);
    });
}

QString TestDownloadFileNet::urlFor(const QString& path) const
{
    return path.startsWith("https:") ? m_https->url(path.mid(6)) : m_http->url(path);
}

void TestDownloadFileNet::init()
{
    g_messages.clear();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    std::lock_guard<std::mutex> lock(m_routeLock);
    m_route = PackageRoute();
    m_route.content = m_payload;
    m_seen.clear();
}

DownloadFileNet& TestDownloadFileNet::prepare(DownloadFileNet& download)
{
    download.setFilePath(target());
    download.setShowProgress(false);
    download.setRetrySecond(1);
    return download;
}

void TestDownloadFileNet::cleanup()
{
    ++m_stallRound;
    QFile::remove(extraCaBundlePath());
    QDir().rmdir(QFileInfo(extraCaBundlePath()).absolutePath());
}

void TestDownloadFileNet::cleanupTestCase()
{
    ++m_stallRound;
    m_https.reset();
    m_http.reset();
    qInstallMessageHandler(g_previousHandler);
}

void TestDownloadFileNet::keepsExactBytes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("showProgress");
    QTest::newRow("plain") << "/file" << false;
    QTest::newRow("followed redirect") << "/redirect" << false;
    QTest::newRow("chunked") << "/chunked" << false;
    QTest::newRow("with progress dialog") << "/file" << true;
}

void TestDownloadFileNet::keepsExactBytes()
{
    QFETCH(QString, path);
    QFETCH(bool, showProgress);
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(showProgress);
    download.download(QUrl(urlFor(path)));

    QCOMPARE(fileContent(target()), m_payload);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestDownloadFileNet::failureLeavesNoFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<int>("retries");
    QTest::newRow("not found") << "/missing" << QString() << 0;
    QTest::newRow("dropped connection, no validator") << "/short" << QString() << 3;
    QTest::newRow("redirect without target") << "/nolocation" << QString() << 0;
    QTest::newRow("redirect not followed") << "/choices"
                                           << "HTTP status 300" << 0;
    // Two silent windows, a pause and a third window would overrun the budget.
    QTest::newRow("silent after the headers, retried within the stall budget")
        << "/stall"
        << "Download failed: the server sent only 0 bytes in 1 s, less than 1 KiB/s" << 1;
}

void TestDownloadFileNet::failureLeavesNoFile()
{
    QFETCH(QString, path);
    QFETCH(QString, logLine);
    QFETCH(int, retries);
    QVERIFY(writeAll(target(), "an older package"));
    DownloadFileNet download;
    prepare(download).setLowSpeedWindow(kWindowMs);
    download.download(QUrl(urlFor(path)));

    QVERIFY(!QFile::exists(target()) && !QFile::exists(part()) && !QFile::exists(record()));
    QCOMPARE(download.outcome().kind, DownloadOutcome::Kind::Failed);
    QCOMPARE(loggedPauses().size(), retries);
    if (!logLine.isEmpty())
        QVERIFY2(logged(logLine), qPrintable(g_messages.join('\n')));
}

void TestDownloadFileNet::cancelLeavesNoFile_data()
{
    QTest::addColumn<bool>("showProgress");
    QTest::addColumn<QString>("path");
    QTest::newRow("cancel request") << false << "/slow";
    QTest::newRow("dialog cancel button") << true << "/slow";
    QTest::newRow("during a retry pause, with a kept part") << false << "/pkg";
}

void TestDownloadFileNet::cancelLeavesNoFile()
{
    QFETCH(bool, showProgress);
    QFETCH(QString, path);
    m_route.failures = {503};
    m_route.retryAfter = "30";
    QVERIFY(writeAll(part(), m_payload.left(kCut)));
    QVERIFY((PartialDownload{urlFor(path), "\"v1\"", kPayloadSize, -1, {}}).write(target()));
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(showProgress);
    connect(&download, &DownloadFileNet::downloadProgress, this,
            [&download](qint64 bytesRead, qint64) {
                if (bytesRead > 0)
                    download.cancelDownload();
            });
    QTimer pressCancel;
    connect(&pressCancel, &QTimer::timeout, this, [] {
        auto* dialog = qobject_cast<ProgressDialog*>(QApplication::activeModalWidget());
        if (dialog && dialog->value() > 0)
            dialog->findChild<QPushButton*>()->click();
    });
    QTimer cancelWhilePausing;
    connect(&cancelWhilePausing, &QTimer::timeout, this, [&download] {
        if (!loggedPauses().isEmpty())
            download.cancelDownload();
    });
    pressCancel.start(10);
    cancelWhilePausing.start(10);
    download.download(QUrl(urlFor(path)));

    QCOMPARE(download.outcome().kind, DownloadOutcome::Kind::Cancelled);
    QVERIFY(!QFile::exists(target()) && !QFile::exists(part()) && !QFile::exists(record()));
}

void TestDownloadFileNet::cancelWithoutReplyDoesNothing()
{
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(false);
    download.cancelDownload();
    download.download(QUrl(urlFor("/file")));
    download.cancelDownload();
    QCOMPARE(fileContent(target()), m_payload);
}

void TestDownloadFileNet::forwardsProgress_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("total");
    QTest::newRow("known length") << "/file" << qint64(kPayloadSize);
    QTest::newRow("chunked, unknown length") << "/chunked" << qint64(-1);
}

void TestDownloadFileNet::forwardsProgress()
{
    QFETCH(QString, path);
    QFETCH(qint64, total);
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(false);
    QSignalSpy progress(&download, &DownloadFileNet::downloadProgress);
    download.download(QUrl(urlFor(path)));

    // The last report of a transfer without a length gives the final count
    // as the total; every report before it is forwarded as the reply sent it.
    QVERIFY(!progress.isEmpty());
    QVERIFY(total >= 0 || progress.count() >= 2);
    qint64 previous = 0;
    for (int i = 0; i < progress.count(); ++i) {
        const qint64 bytesRead = progress.at(i).at(0).toLongLong();
        QVERIFY(bytesRead >= previous);
        previous = bytesRead;
        if (i + 1 < progress.count())
            QCOMPARE(progress.at(i).at(1).toLongLong(), total);
    }
    QCOMPARE(progress.last().at(1).toLongLong(), qint64(kPayloadSize));
    QCOMPARE(previous, qint64(kPayloadSize));
}

void TestDownloadFileNet::verifiesCertificates_data()
{
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("kept");
    QTest::newRow("untrusted self-signed") << false << "https:/file" << false;
    QTest::newRow("trusted through the bundle") << true << "https:/file" << true;
    QTest::newRow("redirect to plain http") << true << "https:/to-http" << false;
}

void TestDownloadFileNet::verifiesCertificates()
{
    QFETCH(bool, trusted);
    QFETCH(QString, path);
    QFETCH(bool, kept);
    if (trusted)
        QVERIFY(writeAll(extraCaBundlePath(), fileContent(m_certificate)));
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(false);
    download.download(QUrl(urlFor(path)));

    QCOMPARE(QFile::exists(target()), kept);
    if (kept)
        QCOMPARE(fileContent(target()), m_payload);
    const bool sslLine = logged("SSL Errors") && logged("One or more SSL errors has occurred:");
    QCOMPARE(sslLine, !trusted);
    QVERIFY(loggedPauses().isEmpty());
}

void TestDownloadFileNet::unopenableTargetFails_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("folder in the way") << "blocked";
    QTest::newRow("file as parent folder") << "plain.txt/pkg.zip";
}

void TestDownloadFileNet::unopenableTargetFails()
{
    QFETCH(QString, relative);
    QVERIFY(QDir(m_dir->path()).mkpath("blocked"));
    QVERIFY(writeAll(m_dir->filePath("plain.txt"), "kept"));
    const QString path = m_dir->filePath(relative);
    DownloadFileNet download;
    download.setFilePath(path);
    download.setShowProgress(false);
    download.download(QUrl(urlFor("/file")));

    QVERIFY(!QFileInfo(path).isFile());
    QCOMPARE(fileContent(m_dir->filePath("plain.txt")), QByteArray("kept"));
    QVERIFY2(logged("cannot open"), qPrintable(g_messages.join('\n')));
}

void TestDownloadFileNet::writeErrorFails()
{
#ifdef Q_OS_LINUX
    // A file size limit makes write() fail with EFBIG, like a full disk
    // would, without touching any real device.
    rlimit original{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &original) == 0);
    rlimit small = original;
    small.rlim_cur = 64 * 1024;
    const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    {
        DownloadFileNet download;
        download.setFilePath(target());
        download.setShowProgress(false);
        download.download(QUrl(urlFor("/file")));
    }
    setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousSignal);

    QVERIFY(!QFile::exists(target()));
    QVERIFY2(logged("cannot write"), qPrintable(g_messages.join('\n')));
#else
    QSKIP("needs a file size limit");
#endif
}

void TestDownloadFileNet::resumesAfterACut_data()
{
    QTest::addColumn<bool>("laterCall"); // else a retry within the same download()
    QTest::addColumn<bool>("signedContent");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QByteArray>("ifRange"); // with the request for the rest; none: not asked
    QTest::addColumn<bool>("startedOver");   // with a request for the whole file

    const QByteArray v1 = "\"v1\"";
    QTest::newRow("retry resumes") << false << false << "etag" << v1 << false;
    QTest::newRow("retry resumes, signed") << false << true << "etag" << v1 << false;
    QTest::newRow("later call resumes") << true << false << "etag" << v1 << false;
    QTest::newRow("later call resumes, signed") << true << true << "etag" << v1 << false;
    QTest::newRow("by date, a weak ETag is none")
        << true << true << "date" << QByteArray(kDate) << false;
    QTest::newRow("no validator at all") << false << true << "weak" << QByteArray() << true;
    QTest::newRow("server ignores the range") << true << true << "ignores range" << v1 << false;
    QTest::newRow("package changed") << true << false << "changed" << v1 << false;
    QTest::newRow("another range sent, started over")
        << false << true << "other range" << v1 << true;
    QTest::newRow("dripping server, retry resumes") << false << true << "drips" << v1 << false;
}

void TestDownloadFileNet::resumesAfterACut()
{
    QFETCH(bool, laterCall);
    QFETCH(bool, signedContent);
    QFETCH(QString, server);
    QFETCH(QByteArray, ifRange);
    QFETCH(bool, startedOver);
    QByteArray expected = m_payload;
    m_route.cutAt = kCut;
    m_route.honoursRange = server != "ignores range";
    if (server == "date" || server == "weak")
        m_route.etag = "W/\"v1\"";
    if (server == "date")
        m_route.lastModified = kDate;
    if (server == "changed")
        m_route.changedTo = expected = m_payload.right(kPayloadSize - 7) + "changed";
    if (server == "other range")
        m_route.contentRange = "bytes 0-99/307200";
    const bool drips = m_route.drips = server == "drips";
    // Short, so that a client that never gives up on the drip ends in seconds.
    if (drips)
        m_route.content = expected = m_payload.left(kCut + 200);
    DownloadFileNet download;
    prepare(download).setMaxRetries(laterCall ? 0 : DownloadFileNet::kMaxRetries);
    if (drips)
        download.setLowSpeedWindow(kWindowMs);
    if (signedContent)
        download.setExpectedContent(expected.size(), Sha256::hexOf(expected));
    QSignalSpy progress(&download, &DownloadFileNet::downloadProgress);
    download.download(QUrl(urlFor("/pkg")));
    if (laterCall) {
        QCOMPARE(download.outcome().kind, DownloadOutcome::Kind::Failed);
        QCOMPARE(fileContent(part()), m_payload.left(int(kCut)));
        QCOMPARE(PartialDownload::read(target()).validator, ifRange);
        download.download(QUrl(urlFor("/pkg")));
    }

    QVERIFY2(download.outcome().complete(), qPrintable(download.outcome().reason));
    QCOMPARE(fileContent(target()), expected);
    QVERIFY(!QFile::exists(part()) && !QFile::exists(record()));
    QVERIFY(!drips || logged("less than 1 KiB/s"));
    std::lock_guard<std::mutex> lock(m_routeLock);
    QByteArray rest = ifRange.isEmpty() ? " " : "bytes=100000- " + ifRange;
    // What dripped in is kept, so the rest begins a few bytes past the cut.
    if (drips && m_seen.last().startsWith("bytes=100") && m_seen.last().endsWith(ifRange))
        rest = m_seen.last();
    for (const QByteArray& seen : qAsConst(m_seen))
        QVERIFY2(seen == " " || seen == rest, seen.constData());
    QCOMPARE(m_seen.last(), startedOver ? QByteArray(" ") : rest);
    // Resumed, the bar goes on from the kept bytes towards the whole length.
    for (int i = 1; i < progress.count() && (server == "etag" || server == "date"); ++i) {
        QVERIFY(progress.at(i).at(0).toLongLong() >= progress.at(i - 1).at(0).toLongLong());
        QCOMPARE(progress.at(i).at(1).toLongLong(), qint64(kPayloadSize));
    }
}

void TestDownloadFileNet::keptPart_data()
{
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<QString>("recordPath"); // empty: no record
    QTest::addColumn<QByteArray>("validator");
    QTest::addColumn<bool>("servedIntact");
    QTest::addColumn<QByteArrayList>("seen");
    QTest::addColumn<bool>("complete");

    const QByteArray head = m_payload.left(kCut);
    const QByteArray wrong(kCut, 'x');
    const QByteArray v1 = "\"v1\"";
    const QByteArray rest = "bytes=100000- \"v1\"";
    const QByteArrayList whole{" "};
    QTest::newRow("continued") << head << "/pkg" << v1 << true << QByteArrayList{rest} << true;
    QTest::newRow("no record") << head << "" << v1 << true << whole << true;
    QTest::newRow("record of another address") << head << "/other" << v1 << true << whole << true;
    QTest::newRow("record without validator")
        << head << "/pkg" << QByteArray() << true << whole << true;
    QTest::newRow("longer than signed") << m_payload + "x"
                                        << "/pkg" << v1 << true << whole << true;
    QTest::newRow("whole but not renamed, server refuses the range")
        << m_payload << "/pkg" << v1 << true << QByteArrayList{"bytes=307200- " + v1, " "} << true;
    QTest::newRow("wrong bytes kept, fetched whole once more")
        << wrong << "/pkg" << v1 << true << QByteArrayList{rest, " "} << true;
    QTest::newRow("wrong hash again, fails closed")
        << wrong << "/pkg" << v1 << false << QByteArrayList{rest, " "} << false;
}

void TestDownloadFileNet::keptPart()
{
    QFETCH(QByteArray, kept);
    QFETCH(QString, recordPath);
    QFETCH(QByteArray, validator);
    QFETCH(bool, servedIntact);
    QFETCH(bool, complete);
    const QByteArray sha256 = Sha256::hexOf(m_payload);
    QVERIFY(writeAll(part(), kept));
    const PartialDownload keptRecord{urlFor(recordPath), validator, kPayloadSize, kPayloadSize,
                                     sha256};
    QVERIFY(recordPath.isEmpty() || keptRecord.write(target()));
    if (!servedIntact)
        m_route.content[kPayloadSize - 1] = '!';
    DownloadFileNet download;
    prepare(download).setExpectedContent(kPayloadSize, sha256);
    download.download(QUrl(urlFor("/pkg")));

    QCOMPARE(download.outcome().complete(), complete);
    QCOMPARE(fileContent(target()), complete ? m_payload : QByteArray());
    QVERIFY(!QFile::exists(part()) && !QFile::exists(record()));
    std::lock_guard<std::mutex> lock(m_routeLock);
    QTEST(m_seen, "seen");
}

void TestDownloadFileNet::retriesBusyServer_data()
{
    QTest::addColumn<QList<int>>("failures");
    QTest::addColumn<QString>("retryAfter");
    QTest::addColumn<QStringList>("pauses");
    QTest::addColumn<bool>("complete");

    QTest::newRow("503, Retry-After") << QList<int>{503} << "2" << QStringList{"2"} << true;
    QTest::newRow("Retry-After capped") << QList<int>{503} << "120" << QStringList{"30"} << true;
    QTest::newRow("429 and 502, doubling pauses")
        << QList<int>{429, 502} << "" << QStringList{"1", "2"} << true;
    QTest::newRow("Retry-After as a date: doubling")
        << QList<int>{500} << kDate << QStringList{"1"} << true;
    QTest::newRow("three times at most")
        << QList<int>{500, 500, 500, 500} << "" << QStringList{"1", "2", "4"} << false;
    QTest::newRow("not found: no retry") << QList<int>{404} << "1" << QStringList() << false;
}

void TestDownloadFileNet::retriesBusyServer()
{
    QFETCH(QList<int>, failures);
    QFETCH(QString, retryAfter);
    QFETCH(bool, complete);
    m_route.failures = failures;
    m_route.retryAfter = retryAfter.toStdString();
    DownloadFileNet download;
    prepare(download).download(QUrl(urlFor("/pkg")));

    QCOMPARE(download.outcome().complete(), complete);
    QCOMPARE(fileContent(target()), complete ? m_payload : QByteArray());
    QTEST(loggedPauses(), "pauses");
}

QTEST_MAIN(TestDownloadFileNet)
#include "tst_downloadfilenet.moc"
