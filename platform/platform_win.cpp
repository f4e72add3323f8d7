#include "platform/Platform.h"

#include <QByteArray>
#include <QProcess>

#include <windows.h>

namespace platform {

QString updaterFileName() { return QStringLiteral("VaDeroru.exe"); }
QString temporaryUpdaterFileName() { return QStringLiteral("VaDeroru_temp.exe"); }
QString logConsoleImageName() { return QStringLiteral("LogConsole.exe"); }

bool stopProcessesByImageName(const QString& imageName)
{
    return QProcess::execute(QStringLiteral("taskkill /im %1 /f").arg(imageName)) == 0;
}

bool copyFileOver(const QString& existingFile, const QString& newFile)
{
    return CopyFileW(reinterpret_cast<LPCWSTR>(existingFile.utf16()),
                     reinterpret_cast<LPCWSTR>(newFile.utf16()), FALSE) != 0;
}

PingCommand pingCommand(const QString& host, int count, int timeoutMs)
{
    return {QStringLiteral("ping"),
            {host, QStringLiteral("-n"), QString::number(count), QStringLiteral("-w"),
             QString::number(timeoutMs)}};
}

bool containsEchoReply(const QByteArray& output) { return output.contains("TTL="); }

void releaseStaleSharedMemory(const QString&)
{
    // Windows destroys a named section with its last handle.
}

} // namespace platform
