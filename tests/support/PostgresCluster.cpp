#include "support/PostgresCluster.h"

#include "support/TempInstallation.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <algorithm>
#include <unistd.h>

namespace {

bool asRoot()
{
    return ::geteuid() == 0;
}

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

} // namespace

PostgresCluster::~PostgresCluster()
{
    QString ignored;
    if (m_running)
        run("pg_ctl", {"-D", m_folder.filePath("data"), "-m", "immediate", "-w", "stop"}, ignored);
}

QString PostgresCluster::serverBinaries()
{
    QStringList versions = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCollator numeric;
    numeric.setNumericMode(true);
    std::sort(versions.begin(), versions.end(), numeric);
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const QString bin = QString("/usr/lib/postgresql/%1/bin").arg(*it);
        if (QFileInfo(bin + "/initdb").isExecutable() && QFileInfo(bin + "/pg_ctl").isExecutable())
            return bin;
    }
    return QString();
}

bool PostgresCluster::start(QString& errorText)
{
    m_binaries = serverBinaries();
    m_port = freePort();
    if (m_binaries.isEmpty() || !m_folder.isValid() || m_port == 0) {
        errorText = "no server binaries, temporary folder or free port";
        return false;
    }
    // The server's user must own its folder, and reach it.
    if (asRoot() && runProcess("chown", {"-R", "postgres:", m_folder.path()}).exitCode != 0) {
        errorText = "cannot give the cluster's folder to the user postgres";
        return false;
    }
    const QString data = m_folder.filePath("data");
    if (!run("initdb", {"-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--no-sync"},
             errorText))
        return false;
    // No Unix socket: its path would have to fit in about 100 bytes.
    const QString options =
        QString("-c listen_addresses=127.0.0.1 -p %1 -k '' -c fsync=off").arg(m_port);
    m_running = run("pg_ctl",
                    {"-D", data, "-l", m_folder.filePath("server.log"), "-w", "-t", "60", "-o",
                     options, "start"},
                    errorText);
    return m_running;
}

bool PostgresCluster::createDatabase(const QString& name, QString& url, QString& errorText)
{
    if (!run("createdb", {"-h", "127.0.0.1", "-p", QString::number(m_port), "-U", "postgres", name},
             errorText))
        return false;
    url = QString("postgresql://postgres@127.0.0.1:%1/%2").arg(m_port).arg(name);
    return true;
}

bool PostgresCluster::run(const QString& tool, const QStringList& arguments, QString& errorText)
{
    const QString program = m_binaries + '/' + tool;
    const ProcessResult result =
        asRoot() ? runProcess("runuser", QStringList{"-u", "postgres", "--", program} + arguments,
                              QProcessEnvironment::systemEnvironment(), 120000)
                 : runProcess(program, arguments, QProcessEnvironment::systemEnvironment(), 120000);
    if (result.finished && result.exitCode == 0)
        return true;
    errorText = QString("%1 failed: %2%3")
                    .arg(tool, QString::fromLocal8Bit(result.standardError),
                         QString::fromLocal8Bit(result.standardOutput));
    return false;
}
