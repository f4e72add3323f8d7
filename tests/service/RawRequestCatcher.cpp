#include "RawRequestCatcher.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

RawRequestCatcher::RawRequestCatcher(QObject* parent)
    : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this]() {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { readFrom(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool RawRequestCatcher::listen()
{
    return m_server->listen(QHostAddress::LocalHost);
}

quint16 RawRequestCatcher::port() const
{
    return m_server->serverPort();
}

void RawRequestCatcher::readFrom(QTcpSocket* socket)
{
    const QByteArray pending = socket->property("pending").toByteArray() + socket->readAll();
    socket->setProperty("pending", pending);
    const int headerEnd = pending.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    QList<QByteArray> lines = pending.left(headerEnd).split('\n');
    const QByteArray requestLine = lines.takeFirst().trimmed();
    int contentLength = 0;
    for (QByteArray& line : lines) {
        line = line.trimmed();
        if (line.toLower().startsWith("content-length:"))
            contentLength = line.mid(int(qstrlen("content-length:"))).trimmed().toInt();
    }
    const QByteArray body = pending.mid(headerEnd + 4);
    if (body.size() < contentLength)
        return;

    socket->setProperty("pending", QByteArray());
    m_requestLine = requestLine;
    m_headerLines = lines;
    ++m_requestCount;
    m_body = body.left(contentLength);
    if (m_onRequest)
        m_onRequest();
    const QByteArray answer = "{\"success\":true}";
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                  "Content-Length: " +
                  QByteArray::number(answer.size()) + "\r\n\r\n" + answer);
    socket->disconnectFromHost();
}

QByteArray RawRequestCatcher::headerValue(const QByteArray& name) const
{
    for (const QByteArray& line : m_headerLines) {
        const int colon = line.indexOf(':');
        if (line.left(colon).toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

bool RawRequestCatcher::hasHeader(const QByteArray& name) const
{
    for (const QByteArray& line : m_headerLines) {
        if (line.left(line.indexOf(':')).toLower() == name.toLower())
            return true;
    }
    return false;
}
