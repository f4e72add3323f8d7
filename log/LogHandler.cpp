#include "log/LogHandler.h"

#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDate>
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
// Days of logs kept besides today's.
constexpr int kKeptDays = 30;
const QString kDayFolderFormat = QStringLiteral("yyyyMMdd");

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

// The day a log folder holds; invalid for a name this handler does not give.
QDate dayOfFolder(const QString& name)
{
    const QDate day = QDate::fromString(name, kDayFolderFormat);
    return day.isValid() && day.toString(kDayFolderFormat) == name ? day : QDate();
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
    return layout::logFolder() + relative;
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
    if (m_writeFile)
        removeExpiredDays();
    qInstallMessageHandler(&LogHandler::messageHandler);
}

// Links are skipped: removing one recursively would empty its target.
void LogHandler::removeExpiredDays()
{
    const QDate oldestKept = m_now().date().addDays(-kKeptDays);
    const QDir logDir(m_logDir);
    const QStringList folders =
        logDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString& name : folders) {
        const QDate day = dayOfFolder(name);
        if (day.isValid() && day < oldestKept)
            QDir(logDir.filePath(name)).removeRecursively();
    }
}

void LogHandler::stop()
{
    qInstallMessageHandler(nullptr);
}

void LogHandler::save(MsgType type, QString content)
{
    const QDate today = m_now().date();
    const QString folder = m_logDir + QLatin1Char('/') + today.toString(kDayFolderFormat);
    const QString path =
        QStringLiteral("%1/%2_%3_log_%4.txt")
            .arg(folder, m_name, msgTypeLabel(type), today.toString(QStringLiteral("yyyy-MM-dd")));
    if (path != m_currentFile) {
        m_currentFile = path;
        if (m_file->isOpen())
            m_file->close();
        if (!QFile::exists(path) && !QDir(folder).exists())
            QDir().mkpath(folder);
        // The watcher, an updater started beside it and the elevated step
        // all write into the day's file.
        platform::openForAppending(*m_file, path);
    }
    // UTF-8 whatever the system's code page: Windows' ANSI pages hold no
    // Chinese.
    QTextStream stream(m_file);
    stream.setCodec("UTF-8");
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
    const QString failure = listenUnlessServed();
    if (!failure.isEmpty())
        qInfo() << QStringLiteral("Unable to start the server: %1.").arg(failure);
    connect(m_server, SIGNAL(newConnection()), this, SLOT(newConnection()));
    startTimer(kDrainIntervalMs, Qt::CoarseTimer);
}

// The log lines are for the user's own consoles only. A server limited to the
// user is set up beside the name and moved over it, which replaces a socket
// that a crashed process left behind, but would take the name from a live
// server just as well: so the name is only taken when nobody answers on it.
// Empty when listening, otherwise why not.
QString LogHandler::listenUnlessServed()
{
    QLocalSocket probe;
    probe.connectToServer(kServerName);
    if (probe.waitForConnected(kLiveServerProbeMs))
        return QStringLiteral("%1 is served by another process").arg(kServerName);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    return m_server->listen(kServerName) ? QString() : m_server->errorString();
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
