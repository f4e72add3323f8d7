#pragma once

#include "log/LogStruct.h"
#include "log/MsgType.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QFile;
class QLocalServer;
class QLocalSocket;

// Takes over Qt's message output: every info line is stamped with the time of
// day, appended to the day's log file and streamed to the local log consoles.
class LogHandler : public QObject
{
    Q_OBJECT
public:
    static LogHandler* instance();
    ~LogHandler() override;

    static void messageHandler(QtMsgType type, const QMessageLogContext& context,
                               const QString& msg);
    static MsgType parseMsgType(QString& text);
    static QString msgTypeLabel(MsgType type);
    static QString logPath(const QString& relative);

    void enqueueClientLog(MsgType type, const QString& line);
    LogStruct takeClientLog();

    // The clock behind file names and line stamps; tests move it across
    // midnight.
    void setClock(std::function<QDateTime()> now);

    QString serverName() const;

    bool m_writeFile = false;

signals:
    void signalsSend(QString content);
    void signalsLog(MsgType type, QString content);

public slots:
    void start();
    void stop();
    void save(MsgType type, QString content);
    void setPath(QString path);
    void setName(QString name);
    void newConnection();
    void sendClientLog(LogStruct& logStruct);

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    explicit LogHandler(QObject* parent = nullptr);
    void startServer();
    QString listenUnlessServed();
    void removeExpiredDays();
    void sendToClient(QLocalSocket* client, const QByteArray& record);

    QList<LogStruct> m_clientQueue;
    QMutex m_mutex;
    bool m_sendToClients = true;
    QFile* m_file = nullptr;
    QString m_logDir;
    QString m_name;
    QString m_currentFile;
    QPointer<QLocalServer> m_server;
    QList<QLocalSocket*> m_clients;
    std::function<QDateTime()> m_now;
};
