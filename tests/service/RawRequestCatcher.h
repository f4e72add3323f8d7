#pragma once

// A bare HTTP listener on 127.0.0.1, served by the event loop of the thread
// that owns it. It keeps each request's header lines as they came on the
// wire, which a parsed header map loses, and answers {"success":true}.

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>

class QTcpServer;
class QTcpSocket;

class RawRequestCatcher : public QObject
{
    Q_OBJECT

public:
    explicit RawRequestCatcher(QObject* parent = nullptr);

    bool listen();
    quint16 port() const;

    // Header lines of the last complete request, request line excluded.
    QList<QByteArray> headerLines() const { return m_headerLines; }
    QByteArray body() const { return m_body; }
    // The value of the last request's header `name` (any case), and whether
    // it was there at all.
    QByteArray headerValue(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    QByteArray requestLine() const { return m_requestLine; }
    int requestCount() const { return m_requestCount; }
    // Runs when a request is complete, before the answer goes out.
    void setOnRequest(std::function<void()> onRequest) { m_onRequest = std::move(onRequest); }

private:
    void readFrom(QTcpSocket* socket);

    QTcpServer* m_server;
    QByteArray m_requestLine;
    QList<QByteArray> m_headerLines;
    int m_requestCount = 0;
    QByteArray m_body;
    std::function<void()> m_onRequest;
};
