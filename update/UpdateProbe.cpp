#include "update/Update.h"

#include "platform/Platform.h"
#include "service/BaseService.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>
#include <QUrl>

namespace {

constexpr int kEchoRequests = 2;
constexpr int kWaitMs = 1000;

// Reads the command's output as it comes and stops at the first reply, so a
// reachable host costs one round trip rather than the whole wait.
bool replySeenBefore(QProcess& ping, QDeadlineTimer deadline)
{
    QByteArray output;
    while (!deadline.hasExpired()) {
        const bool more = ping.waitForReadyRead(int(deadline.remainingTime()));
        output += ping.readAllStandardOutput();
        if (platform::containsEchoReply(output))
            return true;
        if (!more && ping.state() == QProcess::NotRunning)
            return false;
    }
    return false;
}

void stop(QProcess& ping)
{
    if (ping.state() == QProcess::NotRunning)
        return;
    ping.kill();
    ping.waitForFinished(kWaitMs);
}

// The host of the service address, whatever its scheme, port or path. Empty
// when there is none a ping may be given: ping would read a leading "-" as an
// option of its own.
QString probeHost(const QString& serviceAddress)
{
    const QString host = QUrl(normalizeServiceUrl(serviceAddress.trimmed())).host();
    return host.startsWith(QLatin1Char('-')) ? QString() : host;
}

bool pingHost(const QString& host)
{
    if (host.isEmpty())
        return false;
    const platform::PingCommand command = platform::pingCommand(host, kEchoRequests, kWaitMs);
    QProcess ping;
    const QDeadlineTimer deadline(kWaitMs);
    ping.start(command.program, command.arguments, QIODevice::ReadWrite);
    const bool result = ping.waitForStarted(kWaitMs) && replySeenBefore(ping, deadline);
    stop(ping);
    return result;
}

} // namespace

bool Update::pingServer(QString serviceAddress)
{
    const QString host = probeHost(serviceAddress);
    if (host.isEmpty())
        qInfo()
            << QString("Update: no host to ping in the service address \"%1\"").arg(serviceAddress);
    const bool result = pingHost(host);
    qInfo() << QString("Update: %1 %2").arg(QString::fromUtf8("ping通服务器")).arg(result ? 1 : 0);
    return result;
}
