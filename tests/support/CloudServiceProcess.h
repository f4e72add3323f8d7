#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The cloudservice executable run as a child process for one test: started
// with the given options on a free port, stopped when this object goes.
class CloudServiceProcess
{
public:
    CloudServiceProcess() = default;
    ~CloudServiceProcess();

    // Starts the service and waits for its ready line; `logFile` receives its
    // standard error.
    bool start(const QStringList& arguments, const QString& logFile);
    void stop();

    QString baseUrl() const { return m_baseUrl; }
    QString host() const { return "127.0.0.1"; }
    int port() const { return m_port; }
    QString log() const;
    QString startError() const { return m_startError; }

private:
    QProcess m_process;
    QString m_logFile;
    QString m_baseUrl;
    QString m_startError;
    int m_port = 0;
};
