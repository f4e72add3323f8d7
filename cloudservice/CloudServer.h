#pragma once

#include "cloudservice/AnswerCache.h"
#include "cloudservice/RequestEnvelope.h"
#include "cloudservice/ServiceOptions.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <string>

class CatalogFile;
class HaltedReleases;
class PackageServer;
class ReportWriter;
class ServiceMetrics;
namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

// The HTTP(S) server: routes, request log, the version-check answer and the
// intake of outcome reports.
// Answers are cached per catalog generation and connections kept alive, so
// one instance answers a fleet; several stand behind a balancing proxy the
// same way (see deploy/).
class CloudServer
{
public:
    explicit CloudServer(const ServiceOptions& options);
    ~CloudServer();

    // Loads the catalog, opens the packages folder and binds the port.
    bool start(QString& errorText);
    // The address clients reach the service on, e.g. "http://127.0.0.1:8080".
    QString baseUrl() const;
    // Serves until stop(), then until the requests under way are answered.
    bool run();
    // Safe to call from any thread.
    void stop();

private:
    void configure();
    void registerRoutes();
    void checkVersion(const httplib::Request& request, httplib::Response& response);
    void takeReports(const httplib::Request& request, httplib::Response& response);
    RequestEnvelope::Code queueReports(const httplib::Request& request, int& accepted,
                                       QString& message);
    // The answer to an envelope already verified: from the cache, or worked
    // out and kept there. Fails only for a body that is not a valid query.
    RequestEnvelope::Code answerFor(const httplib::Request& request,
                                    AnswerCache::AnswerPointer& answer, QString& message);

    ServiceOptions m_options;
    int m_port = 0;
    std::intptr_t m_listenSocket = -1;
    std::string m_ownHost; // "host:port" for requests without a Host header
    std::unique_ptr<httplib::Server> m_server;
    std::unique_ptr<CatalogFile> m_catalog;
    std::unique_ptr<AnswerCache> m_answers;
    std::unique_ptr<PackageServer> m_packages;
    std::unique_ptr<HaltedReleases> m_halted;
    std::unique_ptr<ServiceMetrics> m_metrics;
    std::unique_ptr<ReportWriter> m_reports;
};
