#include "HttpTestServer.h"

#include <QFile>

#include <httplib.h>

HttpTestServer::HttpTestServer(const QString& certificateFile, const QString& keyFile)
    : m_https(!certificateFile.isEmpty())
{
    if (m_https)
        m_server = std::make_unique<httplib::SSLServer>(
            QFile::encodeName(certificateFile).constData(), QFile::encodeName(keyFile).constData());
    else
        m_server = std::make_unique<httplib::Server>();
}

HttpTestServer::~HttpTestServer()
{
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool HttpTestServer::start()
{
    if (!m_server->is_valid())
        return false;
    // The socket listens once bound, so clients may connect before the
    // accept loop runs.
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        return false;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    return true;
}

QString HttpTestServer::url(const QString& path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_https ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port)
        .arg(path);
}
