#include "support/CloudServiceProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QUrl>

namespace {
const char* const readyPrefix = "cloudservice listening on ";
}

CloudServiceProcess::~CloudServiceProcess()
{
    stop();
}

bool CloudServiceProcess::start(const QStringList& arguments, const QString& logFile)
{
    m_logFile = logFile;
    m_process.setStandardErrorFile(logFile);
    m_process.start(CLOUDSERVICE_EXE, QStringList{"--port", "0"} + arguments);
    QDeadlineTimer deadline(30000);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired()) {
        if (!m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        output += m_process.readAllStandardOutput();
    }
    const QString line = QString::fromUtf8(output).trimmed();
    if (!line.startsWith(readyPrefix)) {
        m_process.waitForFinished(5000);
        m_startError = QString("no ready line (\"%1\"), log: %2").arg(line, log());
        return false;
    }
    m_baseUrl = line.mid(int(strlen(readyPrefix)));
    m_port = QUrl(m_baseUrl).port();
    return m_port > 0;
}

void CloudServiceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
#ifdef Q_OS_WIN
    // terminate() is a window message there, which a console program never
    // reads; the service stops at once on Ctrl+C or a kill alike.
    m_process.kill();
#else
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        m_process.kill();
#endif
    m_process.waitForFinished(10000);
}

QString CloudServiceProcess::log() const
{
    QFile file(m_logFile);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}
