#include "HttpTestServer.h"
#include "download/DownloadFileNet.h"
#include "download/ProgressDialog.h"
#include "service/TrustedSsl.h"

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
#include <thread>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

constexpr int kPayloadSize = 300 * 1024;
constexpr size_t kSlowSize = 8 * 1024 * 1024;
constexpr size_t kShortAnnounced = 100000;
const char* const kBinary = "application/octet-stream";

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

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

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

private:
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
    std::atomic<bool> m_releaseStalled{false};
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
        response.set_content_provider(
            kPayloadSize, kBinary, [this](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset == 0)
                    return sink.write(m_payload.constData(), 1000);
                while (!m_releaseStalled)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return false;
            });
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
}

void TestDownloadFileNet::cleanup()
{
    QFile::remove(extraCaBundlePath());
    QDir().rmdir(QFileInfo(extraCaBundlePath()).absolutePath());
}

void TestDownloadFileNet::cleanupTestCase()
{
    m_releaseStalled = true;
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

    QCOMPARE(readAll(target()), m_payload);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestDownloadFileNet::failureLeavesNoFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("not found") << "/missing" << QString();
    QTest::newRow("dropped connection") << "/short" << QString();
    QTest::newRow("redirect without target") << "/nolocation" << QString();
    QTest::newRow("redirect not followed") << "/choices"
                                           << "HTTP status 300";
    QTest::newRow("stalled") << "/stall"
                             << "Download failed: stalled";
}

void TestDownloadFileNet::failureLeavesNoFile()
{
    QFETCH(QString, path);
    QFETCH(QString, logLine);
    QVERIFY(writeAll(target(), "an older package"));
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(false);
    download.setStallTimeout(1000);
    download.download(QUrl(urlFor(path)));

    QVERIFY(!QFile::exists(target()));
    if (!logLine.isEmpty())
        QVERIFY2(logged(logLine), qPrintable(g_messages.join('\n')));
}

void TestDownloadFileNet::cancelLeavesNoFile_data()
{
    QTest::addColumn<bool>("showProgress");
    QTest::newRow("cancel request") << false;
    QTest::newRow("dialog cancel button") << true;
}

void TestDownloadFileNet::cancelLeavesNoFile()
{
    QFETCH(bool, showProgress);
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
    pressCancel.start(10);
    download.download(QUrl(urlFor("/slow")));

    QVERIFY(!QFile::exists(target()));
}

void TestDownloadFileNet::cancelWithoutReplyDoesNothing()
{
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(false);
    download.cancelDownload();
    download.download(QUrl(urlFor("/file")));
    download.cancelDownload();
    QCOMPARE(readAll(target()), m_payload);
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
        QVERIFY(writeAll(extraCaBundlePath(), readAll(m_certificate)));
    DownloadFileNet download;
    download.setFilePath(target());
    download.setShowProgress(false);
    download.download(QUrl(urlFor(path)));

    QCOMPARE(QFile::exists(target()), kept);
    if (kept)
        QCOMPARE(readAll(target()), m_payload);
    const bool sslLine = logged("SSL Errors") && logged("One or more SSL errors has occurred:");
    QCOMPARE(sslLine, !trusted);
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
    QCOMPARE(readAll(m_dir->filePath("plain.txt")), QByteArray("kept"));
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

QTEST_MAIN(TestDownloadFileNet)
#include "tst_downloadfilenet.moc"
