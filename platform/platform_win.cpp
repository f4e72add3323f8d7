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

bool flushToDisk(const QString&, const QStringList& files)
{
    bool flushed = true;
    for (const QString& file : files) {
        const HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(file.utf16()), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        // A file that cannot be opened for writing was not written by us.
        if (handle == INVALID_HANDLE_VALUE)
            continue;
        flushed = FlushFileBuffers(handle) != 0 && flushed;
        CloseHandle(handle);
    }
    return flushed;
}

bool syncFolder(const QString&)
{
    // Windows offers no flush of a folder; NTFS logs its renames in order
    // with the file data flushed before them.
    return true;
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
