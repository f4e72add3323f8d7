#pragma once

#include <QString>

#include <memory>
#include <thread>

namespace httplib {
class Server;
}

// A cpp-httplib server (plain or TLS) on 127.0.0.1 and a free port, running
// on its own thread for the lifetime of the object.
class HttpTestServer
{
public:
    // With certificate and key files the server speaks HTTPS.
    explicit HttpTestServer(const QString& certificateFile = QString(),
                            const QString& keyFile = QString());
    ~HttpTestServer();

    httplib::Server& routes() { return *m_server; }
    // Starts answering; call after the routes are set.
    bool start();
    int port() const { return m_port; }
    QString url(const QString& path) const;

private:
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = -1;
    bool m_https = false;
};
