#include "cloudservice/CloudServer.h"

#include "cloudservice/CatalogFile.h"
#include "cloudservice/PackageServer.h"
#include "cloudservice/RequestEnvelope.h"

#include <QFile>
#include <QtDebug>
#include <chrono>
#include <httplib.h>
#include <thread>

namespace {

constexpr size_t maximumRequestBody = 1024 * 1024;
const char* const checkVersionPath = "/cloudService/version/checkVersion";
const char* const jsonType = "application/json;charset=UTF-8";

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

size_t bodyBytes(const httplib::Response& response)
{
    return response.content_provider_ ? response.content_length_ : response.body.size();
}

} // namespace

CloudServer::CloudServer(const ServiceOptions& options) : m_options(options) {}

CloudServer::~CloudServer() = default;

bool CloudServer::start(QString& errorText)
{
    m_catalog = std::make_unique<CatalogFile>(m_options.catalogFile);
    QString catalogError;
    if (!m_catalog->load(catalogError)) {
        errorText = QString("catalog %1: %2").arg(m_options.catalogFile, catalogError);
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

void CloudServer::registerRoutes()
{
    m_server->set_payload_max_length(maximumRequestBody);
    m_server->set_logger([](const httplib::Request& request, const httplib::Response& response) {
        qInfo().noquote() << QString("%1 %2 %3 %4 bytes")
                                 .arg(QString::fromStdString(request.method),
                                      QString::fromStdString(request.path))
                                 .arg(response.status)
                                 .arg(bodyBytes(response));
    });
    m_server->Post(checkVersionPath,
                   [this](const httplib::Request& request, httplib::Response& response) {
                       checkVersion(request, response);
                   });
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
    if (m_options.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_options.delayMs));

    // Refusals are still HTTP 200: the client reads "code" and "message" only
    // from answers that arrived without a transport error.
    QString message;
    QJsonObject query;
    RequestEnvelope::Code code = RequestEnvelope::verify(request, message);
    if (code == RequestEnvelope::Success)
        code = RequestEnvelope::parseBody(
            request.body, {"platformType", "softwareRoot", "version", "versionType"}, query,
            message);
    if (code != RequestEnvelope::Success) {
        qInfo().noquote()
            << QString("checkVersion refused with code %1: %2").arg(code).arg(message);
        response.set_content(RequestEnvelope::answer(code, message, QJsonObject()), jsonType);
        return;
    }

    const QString root = query.value("softwareRoot").toString();
    const QString type = query.value("versionType").toString();
    const QString installed = query.value("version").toString();
    ReleaseCatalog::Decision decision = m_catalog->current().decide(root, type, installed);
    decision.url = absoluteUrl(decision.url, request);
    message = decision.known
                  ? QString("ok")
                  : QString("no releases for software root \"%1\" and version type \"%2\"")
                        .arg(root, type);
    qInfo().noquote() << QString("checkVersion %1/%2 installed \"%3\": newest \"%4\" needUpdate %5 "
                                 "forceUpdate %6")
                             .arg(root, type, installed, decision.version)
                             .arg(decision.needUpdate ? "true" : "false")
                             .arg(decision.forceUpdate ? "true" : "false");
    response.set_content(
        RequestEnvelope::answer(RequestEnvelope::Success, message, versionData(query, decision)),
        jsonType);
}

QString CloudServer::absoluteUrl(const QString& url, const httplib::Request& request) const
{
    if (url.isEmpty() || url.contains("://"))
        return url;
    // The address the client used reaches us; the listen address may not
    // (e.g. 0.0.0.0 or behind a port forward).
    QString host = QString::fromStdString(request.get_header_value("Host"));
    if (host.isEmpty())
        host = QString("%1:%2").arg(m_options.host).arg(m_port);
    const QString path = url.startsWith('/') ? url : '/' + url;
    return QString("%1://%2%3").arg(m_options.useTls() ? "https" : "http", host, path);
}
