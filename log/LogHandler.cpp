#include "log/LogHandler.h"

#include "install/InstallationLayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutexLocker>
#include <QTextStream>
#include <QTimerEvent>

namespace {

const QString kServerName = QStringLiteral("DLQ_M31_LogServer");
const QByteArray kRecordEnd = QByteArrayLiteral("$end$");
constexpr int kDrainIntervalMs = 100;
// How long a connection attempt may take before a leftover server name is
// judged abandoned.
constexpr int kLiveServerProbeMs = 200;

LogHandler* s_instance = nullptr;

// On Unix a socket whose console has gone stays "valid" (its buffer is still
// open) but is no longer connected; either sign means the console is gone.
bool isConnected(const QLocalSocket* client)
{
    return client->isValid() && client->state() == QLocalSocket::ConnectedState;
}

QString executableStem()
{
    const QString fileName = QCoreApplication::applicationFilePath().split(QLatin1Char('/')).last();
    return fileName.split(QLatin1Char('.')).first();
}

} // namespace

LogHandler* LogHandler::instance()
{
    if (!s_instance)
        s_instance = new LogHandler;
    return s_instance;
}

LogHandler::LogHandler(QObject* parent)
    : QObject(parent), m_file(new QFile(this)), m_logDir(logPath(QString())),
      m_name(executableStem()), m_now([] { return QDateTime::currentDateTime(); })
{
    qRegisterMetaType<MsgType>("MsgType");
    startServer();
}

LogHandler::~LogHandler()
{
    m_file->close();
    if (s_instance == this)
        s_instance = nullptr;
}

void LogHandler::setClock(std::function<QDateTime()> now)
{
    m_now = std::move(now);
}

QString LogHandler::serverName() const
{
    return kServerName;
}

QString LogHandler::logPath(const QString& relative)
{
    return layout::applicationPath(layout::kLogFolder) + relative;
}

QString LogHandler::msgTypeLabel(MsgType type)
{
    return type == Info ? QStringLiteral("[Info]") : QString();
}

MsgType LogHandler::parseMsgType(QString& text)
{
    // Streamed QStrings arrive quoted; the prefix follows the opening quote.
    static const QString readPrefix = QStringLiteral("\"[SerialPortRead]");
    static const QString writePrefix = QStringLiteral("\"[SerialPortWrite]");
    if (text.startsWith(readPrefix)) {
        text.remove(1, readPrefix.size() - 1);
        return SerialPortRead;
    }
    if (text.startsWith(writePrefix)) {
        text.remove(1, writePrefix.size() - 1);
        return SerialPortWrite;
    }
    return Info;
}

void LogHandler::messageHandler(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type != QtInfoMsg)
        return;
    static QMutex handlerMutex;
    QMutexLocker lock(&handlerMutex);

    LogHandler* handler = instance();
    QString text = msg;
    const MsgType kind = parseMsgType(text);
    const QString line =
        handler->m_now().time().toString(QStringLiteral("hh:mm:ss:zzz %1")).arg(QString()) + text;
    if (handler->m_writeFile)
        handler->save(kind, line);
    handler->enqueueClientLog(kind, line);
}

void LogHandler::start()
{
    qInstallMessageHandler(&LogHandler::messageHandler);
}

void LogHandler::stop()
{
    qInstallMessageHandler(nullptr);
}

void LogHandler::save(MsgType type, QString content)
{
    const QDate today = m_now().date();
    const QString folder = m_logDir + QLatin1Char('/') + today.toString(QStringLiteral("yyyyMMdd"));
    const QString path =
        QStringLiteral("%1/%2_%3_log_%4.txt")
            .arg(folder, m_name, msgTypeLabel(type), today.toString(QStringLiteral("yyyy-MM-dd")));
    if (path != m_currentFile) {
        m_currentFile = path;
        if (m_file->isOpen())
            m_file->close();
        m_file->setFileName(path);
        if (!QFile::exists(path) && !QDir(folder).exists())
            QDir().mkpath(folder);
        m_file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    }
    QTextStream stream(m_file);
    stream << content << "\n";
    stream.flush();
    m_file->flush();
}

void LogHandler::setPath(QString path)
{
    m_logDir = path;
}

void LogHandler::setName(QString name)
{
    m_name = name;
}

void LogHandler::enqueueClientLog(MsgType type, const QString& line)
{
    if (!m_sendToClients)
        return;
    QMutexLocker lock(&m_mutex);
    m_clientQueue.append(LogStruct{type, line});
}

LogStruct LogHandler::takeClientLog()
{
    QMutexLocker lock(&m_mutex);
    return m_clientQueue.isEmpty() ? LogStruct{Info, QString()} : m_clientQueue.takeFirst();
}

void LogHandler::startServer()
{
    m_server = new QLocalServer(this);
    if (!listenTakingOverStaleName())
        qInfo() << QStringLiteral("Unable to start the server: %1.").arg(m_server->errorString());
    connect(m_server, SIGNAL(newConnection()), this, SLOT(newConnection()));
    startTimer(kDrainIntervalMs, Qt::CoarseTimer);
}

// A process that crashed leaves its socket file behind, and listening on the
// name then fails for good. The name is taken over only when nobody answers
// on it, never from a live server.
bool LogHandler::listenTakingOverStaleName()
{
    if (m_server->listen(kServerName))
        return true;
    if (m_server->serverError() != QAbstractSocket::AddressInUseError)
        return false;
    QLocalSocket probe;
    probe.connectToServer(kServerName);
    if (probe.waitForConnected(kLiveServerProbeMs))
        return false;
    QLocalServer::removeServer(kServerName);
    return m_server->listen(kServerName);
}

void LogHandler::newConnection()
{
    if (QLocalSocket* client = m_server->nextPendingConnection())
        m_clients.append(client);
}

void LogHandler::sendToClient(QLocalSocket* client, const QByteArray& record)
{
    if (!isConnected(client)) {
        client->deleteLater();
        m_clients.removeOne(client);
        return;
    }
    client->write(record);
    client->flush();
}

void LogHandler::sendClientLog(LogStruct& logStruct)
{
    const QByteArray record = logStruct.toJson() + kRecordEnd;
    const QList<QLocalSocket*> clients = m_clients;
    for (QLocalSocket* client : clients)
        sendToClient(client, record);
}

void LogHandler::timerEvent(QTimerEvent*)
{
    for (LogStruct record = takeClientLog(); !record.content.isEmpty(); record = takeClientLog())
        sendClientLog(record);
}
