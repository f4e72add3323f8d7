#include "support/SquidProxy.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

namespace {

int freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

bool accepts(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(500);
}

} // namespace

SquidProxy::~SquidProxy()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool SquidProxy::start()
{
    m_port = freePort();
    if (!m_dir.isValid() || m_port == 0 || !writeFiles()) {
        m_startError = "cannot prepare the proxy's folder";
        return false;
    }
    // A name of its own keeps its shared memory apart from other squids.
    const QString name =
        QString("vaderorutest%1x%2").arg(QCoreApplication::applicationPid()).arg(m_port);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start("squid", {"-N", "-f", m_dir.filePath("squid.conf"), "-n", name});
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        if (accepts(m_port))
            return true;
        QThread::msleep(100);
    }
    m_startError = QString("squid did not start: %1 %2")
                       .arg(m_process.errorString(), QString::fromUtf8(m_process.readAll()));
    return false;
}

// Squid started by root works as another user, which must reach the folder.
bool SquidProxy::writeFiles()
{
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther);
    QProcess hash;
    hash.start("openssl", {"passwd", "-apr1", kPassword});
    if (!hash.waitForFinished(10000) || hash.exitCode() != 0)
        return false;
    const QString folder = m_dir.path();
    const QString configuration =
        QString("http_port 127.0.0.1:%1\n"
                "pid_filename %2/squid.pid\n"
                "access_log stdio:%2/access.log\n"
                "cache_log %2/cache.log\n"
                "cache_store_log none\n"
                "cache deny all\n"
                "coredump_dir %2\n"
                "pinger_enable off\n"
                "visible_hostname vaderoru-test-proxy\n"
                "shutdown_lifetime 0 seconds\n"
                "auth_param basic program /usr/lib/squid/basic_ncsa_auth %2/passwords\n"
                "auth_param basic realm test\n"
                "acl known proxy_auth REQUIRED\n"
                "http_access allow known\n"
                "http_access deny all\n")
            .arg(m_port)
            .arg(folder);
    return writeFile(m_dir.filePath("passwords"),
                     QByteArray(kUser) + ':' + hash.readAllStandardOutput()) &&
           writeFile(m_dir.filePath("squid.conf"), configuration.toUtf8());
}

QString SquidProxy::url(const QString& user, const QString& password) const
{
    const QString credentials = user.isEmpty() ? QString() : user + ':' + password + '@';
    return QString("http://%1127.0.0.1:%2").arg(credentials).arg(m_port);
}

QString SquidProxy::accessLog() const
{
    QFile file(m_dir.filePath("access.log"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // The connections that only asked whether the proxy was up.
    QStringList requests = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    requests.erase(
        std::remove_if(requests.begin(), requests.end(),
                       [](const QString& line) { return line.contains(" NONE_NONE/000 "); }),
        requests.end());
    return requests.join('\n');
}
