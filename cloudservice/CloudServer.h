#pragma once

#include "cloudservice/ServiceOptions.h"

#include <QString>
#include <memory>

class CatalogFile;
class PackageServer;
namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

// The HTTP(S) server: routes, request log and the version-check answer.
class CloudServer
{
public:
    explicit CloudServer(const ServiceOptions& options);
    ~CloudServer();

    // Loads the catalog, opens the packages folder and binds the port.
    bool start(QString& errorText);
    // The address clients reach the service on, e.g. "http://127.0.0.1:8080".
    QString baseUrl() const;
    // Serves until the process ends.
    bool run();

private:
    void checkVersion(const httplib::Request& request, httplib::Response& response);
    QString absoluteUrl(const QString& url, const httplib::Request& request) const;
    void registerRoutes();

    ServiceOptions m_options;
    int m_port = 0;
    std::unique_ptr<httplib::Server> m_server;
    std::unique_ptr<CatalogFile> m_catalog;
    std::unique_ptr<PackageServer> m_packages;
};
