#include "update/Update.h"

#include "platform/Platform.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>

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

} // namespace

bool Update::pingServer(QString serviceAddress)
{
    const QString host = serviceAddress.remove("http://");
    const platform::PingCommand command = platform::pingCommand(host, kEchoRequests, kWaitMs);

    QProcess ping;
    const QDeadlineTimer deadline(kWaitMs);
    ping.start(command.program, command.arguments, QIODevice::ReadWrite);
    const bool result = ping.waitForStarted(kWaitMs) && replySeenBefore(ping, deadline);
    stop(ping);

    qInfo() << QString("Update: %1 %2").arg(QString::fromUtf8("ping通服务器")).arg(result ? 1 : 0);
    return result;
}
