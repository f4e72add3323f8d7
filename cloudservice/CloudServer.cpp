#include "cloudservice/CloudServer.h"

#include "cloudservice/AnswerCache.h"
#include "cloudservice/CatalogFile.h"
#include "cloudservice/HaltedReleases.h"
#include "cloudservice/PackageServer.h"
#include "cloudservice/ReleaseGate.h"
#include "cloudservice/ReportRequest.h"
#include "cloudservice/ReportWriter.h"
#include "cloudservice/RequestEnvelope.h"
#include "cloudservice/ServiceMetrics.h"
#include "cloudservice/StderrLog.h"

#include <QDateTime>
#include <QFile>
#include <QtDebug>
#include <chrono>
#include <httplib.h>
#include <thread>

namespace {

constexpr size_t maximumRequestBody = 1024 * 1024;
constexpr size_t answerCacheBytes = 16 * 1024 * 1024;
// Plenty for clients and proxies that reuse connections, and a connection
// waiting for a free thread still gets one within a while.
constexpr size_t requestsPerConnection = 1000;
const char* const checkVersionPath = "/cloudService/version/checkVersion";
const char* const reportPath = "/cloudService/update/report";
const char* const jsonType = "application/json;charset=UTF-8";

// Where the client reached us, which relative package addresses are made
// absolute with.
struct Origin
{
    std::string scheme;
    std::string host;
};

QJsonObject versionData(const QJsonObject& query, const ReleaseCatalog::Decision& decision)
{
    QJsonObject data;
    data.insert("platformType", query.value("platformType"));
    data.insert("softwareRoot", query.value("softwareRoot"));
    data.insert("version", decision.version);
    data.insert("minVersion", decision.minVersion);
    data.insert("maxVersion", decision.maxVersion);
    data.insert("forceVersion", decision.forceVersion);
    data.insert("url", decision.url);
    data.insert("noteJson", decision.noteJson);
    data.insert("needUpdate", decision.needUpdate);
    data.insert("forceUpdate", decision.forceUpdate);
    // Absent rather than empty, so that answers without them stay as they were.
    if (!decision.signedRelease.isEmpty())
        data.insert("release", decision.signedRelease);
    if (!decision.roots.isEmpty())
        data.insert("roots", decision.roots);
    return data;
}

QString absoluteUrl(const QString& url, const Origin& origin)
{
    if (url.isEmpty() || url.contains("://"))
        return url;
    const QString path = url.startsWith('/') ? url : '/' + url;
    return QString("%1://%2%3")
        .arg(QString::fromStdString(origin.scheme), QString::fromStdString(origin.host), path);
}

AnswerCache::Answer buildAnswer(const ReleaseCatalog& catalog, const QJsonObject& query,
                                const Origin& origin, const ReleaseGate& gate)
{
    const QString root = query.value("softwareRoot").toString();
    const QString type = query.value("versionType").toString();
    const QString installed = query.value("version").toString();
    ReleaseCatalog::Decision decision = catalog.decide(root, type, installed, gate);
    decision.url = absoluteUrl(decision.url, origin);
    const QString message =
        decision.known ? QString("ok")
                       : QString("no releases for software root \"%1\" and version type \"%2\"")
                             .arg(root, type);
    AnswerCache::Answer answer;
    answer.body =
        RequestEnvelope::answer(RequestEnvelope::Success, message, versionData(query, decision));
    answer.logLine = QString("checkVersion %1/%2 installed \"%3\": newest \"%4\" needUpdate %5 "
                             "forceUpdate %6")
                         .arg(root, type, installed, decision.version)
                         .arg(decision.needUpdate ? "true" : "false")
                         .arg(decision.forceUpdate ? "true" : "false")
                         .toUtf8();
    answer.updateOffered = decision.needUpdate;
    return answer;
}

// The address the client used reaches us; the listen address may not (e.g.
// 0.0.0.0 or behind a port forward). Behind a proxy that ends TLS, the scheme
// is the one the proxy forwards.
Origin originOf(const httplib::Request& request, const std::string& ownHost, bool tls)
{
    Origin origin{request.get_header_value("X-Forwarded-Proto"), request.get_header_value("Host")};
    if (origin.scheme != "http" && origin.scheme != "https")
        origin.scheme = tls ? "https" : "http";
    if (origin.host.empty())
        origin.host = ownHost;
    return origin;
}

// The answer is a function of the body's members, the origin and the
// catalog, so the body as sent keys it, and an answer found needs no parsing.
// Each part has its length in front, so that no two inputs spell one key.
std::string answerKey(const std::string& body, const Origin& origin)
{
    std::string key;
    for (const std::string* part : {&body, &origin.scheme, &origin.host}) {
        key += std::to_string(part->size());
        key += ':';
        key += *part;
    }
    return key;
}

size_t bodyBytes(const httplib::Response& response)
{
    return response.content_provider_ ? response.content_length_ : response.body.size();
}

void logRequest(const httplib::Request& request, const httplib::Response& response)
{
    StderrLog::writeLine(QByteArray::fromStdString(request.method) + ' ' +
                         QByteArray::fromStdString(request.path) + ' ' +
                         QByteArray::number(response.status) + ' ' +
                         QByteArray::number(qulonglong(bodyBytes(response))) + " bytes");
}

} // namespace

CloudServer::CloudServer(const ServiceOptions& options)
    : m_options(options), m_answers(std::make_unique<AnswerCache>(answerCacheBytes)),
      m_halted(std::make_unique<HaltedReleases>()), m_metrics(std::make_unique<ServiceMetrics>())
{}

CloudServer::~CloudServer() = default;

bool CloudServer::start(QString& errorText)
{
    m_catalog = std::make_unique<CatalogFile>(m_options.catalogFile);
    QString catalogError;
    if (!m_catalog->load(catalogError)) {
        errorText = QString("catalog %1: %2").arg(m_options.catalogFile, catalogError);
        return false;
    }
    m_reports = std::make_unique<ReportWriter>(m_options.databaseUrl, *m_catalog, *m_halted);
    if (!m_reports->start(errorText)) {
        errorText = QString("database %1: %2").arg(m_options.databaseUrl, errorText);
        return false;
    }
    if (!m_options.packagesFolder.isEmpty()) {
        m_packages = std::make_unique<PackageServer>(
            m_options.packagesFolder,
            PackageServer::Limits{m_options.throttleKbps, m_options.failPackageAfter});
        if (!m_packages->isValid()) {
            errorText = QString("packages folder %1 is not a folder").arg(m_options.packagesFolder);
            return false;
        }
    }
    if (m_options.useTls()) {
        m_server = std::make_unique<httplib::SSLServer>(
            QFile::encodeName(m_options.certificateFile).constData(),
            QFile::encodeName(m_options.keyFile).constData());
    } else {
        m_server = std::make_unique<httplib::Server>();
    }
    if (!m_server->is_valid()) {
        errorText = QString("cannot use certificate %1 with key %2")
                        .arg(m_options.certificateFile, m_options.keyFile);
        return false;
    }
    configure();
    registerRoutes();
    const std::string host = m_options.host.toStdString();
    if (m_options.port == 0) {
        m_port = m_server->bind_to_any_port(host);
    } else if (m_server->bind_to_port(host, m_options.port)) {
        m_port = m_options.port;
    } else {
        m_port = -1;
    }
    if (m_port <= 0) {
        errorText = QString("cannot listen on %1 port %2").arg(m_options.host).arg(m_options.port);
        return false;
    }
    m_ownHost = QString("%1:%2").arg(m_options.host).arg(m_port).toStdString();
    // The library listens with a backlog of 5, which a fleet's burst of new
    // connections overflows: the kernel drops their SYNs, and clients try
    // again only a second later. Listening again widens it.
    ::listen(static_cast<socket_t>(m_listenSocket), SOMAXCONN);
    return true;
}

QString CloudServer::baseUrl() const
{
    return QString("%1://%2:%3")
        .arg(m_options.useTls() ? "https" : "http", m_options.host)
        .arg(m_port);
}

bool CloudServer::run()
{
    return m_server->listen_after_bind();
}

void CloudServer::stop()
{
    m_server->stop();
}

void CloudServer::configure()
{
    // The library writes status line and headers, then the body, in two
    // sends: without this the body waits for the client's delayed ACK.
    // It must be set before the port is bound, whose socket passes it on.
    m_server->set_tcp_nodelay(true);
    m_server->set_keep_alive_max_count(requestsPerConnection);
    // A kept-alive connection holds a thread for as long as it stays open.
    const size_t threads = size_t(m_options.threads);
    m_server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    m_server->set_socket_options([this](socket_t socket) {
        httplib::default_socket_options(socket);
        m_listenSocket = static_cast<std::intptr_t>(socket);
    });
    m_server->set_payload_max_length(maximumRequestBody);
    m_server->set_logger(logRequest);
}

void CloudServer::registerRoutes()
{
    m_server->Post(checkVersionPath,
                   [this](const httplib::Request& request, httplib::Response& response) {
                       checkVersion(request, response);
                   });
    m_server->Post(reportPath,
                   [this](const httplib::Request& request, httplib::Response& response) {
                       takeReports(request, response);
                   });
    if (m_options.metrics) {
        m_server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(m_metrics->render(*m_catalog->current().catalog,
                                                   m_halted->current(),
                                                   QDateTime::currentMSecsSinceEpoch()),
                                 "text/plain; version=0.0.4; charset=utf-8");
        });
    }
    m_server->Get("/packages/(.*)",
                  [this](const httplib::Request& request, httplib::Response& response) {
                      if (m_packages)
                          m_packages->serve(request.matches[1].str(), request, response);
                      else
                          response.status = 404;
                  });
}

void CloudServer::checkVersion(const httplib::Request& request, httplib::Response& response)
{
    const auto started = std::chrono::steady_clock::now();
    if (m_options.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.delayMs));

    QString message;
    AnswerCache::AnswerPointer answer;
    RequestEnvelope::Code code = RequestEnvelope::verify(request, message);
    if (code == RequestEnvelope::Success)
        code = answerFor(request, answer, message);
    // Refusals are still HTTP 200: the client reads "code" and "message" only
    // from answers that arrived without a transport error.
    if (code != RequestEnvelope::Success) {
        qInfo().noquote()
            << QString("checkVersion refused with code %1: %2").arg(code).arg(message);
        response.set_content(RequestEnvelope::answer(code, message, QJsonObject()), jsonType);
        return;
    }
    StderrLog::writeLine(answer->logLine);
    response.set_content(answer->body, jsonType);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    m_metrics->countCheck(took.count(), answer->updateOffered);
}

void CloudServer::takeReports(const httplib::Request& request, httplib::Response& response)
{
    QString message;
    int accepted = 0;
    const RequestEnvelope::Code code = queueReports(request, accepted, message);
    if (code != RequestEnvelope::Success) {
        qInfo().noquote() << QString("report refused with code %1: %2").arg(code).arg(message);
        response.set_content(RequestEnvelope::answer(code, message, QJsonObject()), jsonType);
        return;
    }
    response.set_content(RequestEnvelope::answer(code, "ok", QJsonObject{{"accepted", accepted}}),
                         jsonType);
}

RequestEnvelope::Code CloudServer::queueReports(const httplib::Request& request, int& accepted,
                                                QString& message)
{
    RequestEnvelope::Code code = RequestEnvelope::verify(request, message);
    if (code != RequestEnvelope::Success)
        return code;
    const QString installation = RequestEnvelope::installationId(request);
    if (installation.isEmpty()) {
        message = "header \"X-Installation-Id\" must be 32 lowercase hex digits";
        return RequestEnvelope::MissingInstallation;
    }
    QVector<OutcomeReport> reports;
    code = ReportRequest::parse(request.body, installation, QDateTime::currentMSecsSinceEpoch(),
                                reports, message);
    if (code != RequestEnvelope::Success)
        return code;
    if (!m_reports->add(reports)) {
        message = QString("more than %1 reports wait to be stored; send them again later")
                      .arg(ReportWriter::maximumWaiting);
        return RequestEnvelope::ReportsBacklogged;
    }
    for (const OutcomeReport& report : reports)
        m_metrics->countReport(report.softwareRoot, report.versionType, report.toVersion,
                               report.outcome);
    accepted = reports.size();
    return RequestEnvelope::Success;
}

RequestEnvelope::Code CloudServer::answerFor(const httplib::Request& request,
                                             AnswerCache::AnswerPointer& answer, QString& message)
{
    const CatalogFile::Version catalog = m_catalog->current();
    HaltedReleases::Set halted = m_halted->current();
    const Origin origin = originOf(request, m_ownHost, m_options.useTls());
    std::string key = answerKey(request.body, origin);
    // Without rollouts and halts the body alone decides, and a kept answer
    // needs no parsing; otherwise which releases this request may see is
    // part of the key.
    const bool gated = catalog.catalog->hasGates() || !halted->isEmpty();
    if (!gated && (answer = m_answers->find(catalog.generation, key)))
        return RequestEnvelope::Success;
    QJsonObject query;
    const RequestEnvelope::Code code = RequestEnvelope::parseBody(
        request.body, {"platformType", "softwareRoot", "version", "versionType"}, query, message);
    if (code != RequestEnvelope::Success)
        return code;
    const ReleaseGate gate(RequestEnvelope::installationId(request), std::move(halted),
                           QDateTime::currentMSecsSinceEpoch());
    if (gated) {
        key += catalog.catalog->offerMask(query.value("softwareRoot").toString(),
                                          query.value("versionType").toString(), gate);
        if ((answer = m_answers->find(catalog.generation, key)))
            return RequestEnvelope::Success;
    }
    answer = std::make_shared<const AnswerCache::Answer>(
        buildAnswer(*catalog.catalog, query, origin, gate));
    m_answers->insert(catalog.generation, key, answer);
    return RequestEnvelope::Success;
}
