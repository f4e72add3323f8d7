#include "platform/Platform.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSharedMemory>
#include <QThread>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace platform {

QString updaterFileName() { return QStringLiteral("VaDeroru"); }
QString temporaryUpdaterFileName() { return QStringLiteral("VaDeroru_temp"); }
QString logConsoleImageName() { return QStringLiteral("LogConsole"); }

namespace {

// How long a stopped process may take to disappear before we give up on it.
constexpr int kStopWaitMs = 5000;

QByteArray readProcFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString baseName(const QString& path) { return QFileInfo(path).fileName(); }

// A process is known by the file name of its executable, by that of its
// argv[0] (a program started through a symbolic link or a wrapper), or by its
// command name, which is what the kernel keeps for a script: its file name
// cut to 15 characters. This is how pkill -x and killall find processes too.
bool processMatches(const QString& pidDir, const QString& imageName)
{
    const QString exe = QFile::symLinkTarget(pidDir + QStringLiteral("/exe"));
    if (!exe.isEmpty() && baseName(exe) == imageName)
        return true;

    const QByteArray cmdline = readProcFile(pidDir + QStringLiteral("/cmdline"));
    const QByteArray argv0 = cmdline.left(cmdline.indexOf('\0'));
    if (!argv0.isEmpty() && baseName(QString::fromLocal8Bit(argv0)) == imageName)
        return true;

    const QString comm = QString::fromLocal8Bit(readProcFile(pidDir + QStringLiteral("/comm")))
                             .trimmed();
    return !comm.isEmpty() && comm == imageName.left(15);
}

QList<pid_t> processesNamed(const QString& imageName)
{
    QList<pid_t> pids;
    const pid_t self = getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid || pid == self)
            continue;
        if (processMatches(QStringLiteral("/proc/") + entry, imageName))
            pids.append(pid);
    }
    return pids;
}

bool isGone(pid_t pid)
{
    // A zombie still answers kill(0) but will never run again.
    if (kill(pid, 0) != 0)
        return true;
    const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close >= 0 && stat.size() > close + 2 && stat.at(close + 2) == 'Z';
}

void waitUntilGone(const QList<pid_t>& pids)
{
    QElapsedTimer clock;
    clock.start();
    for (pid_t pid : pids) {
        while (!isGone(pid) && clock.elapsed() < kStopWaitMs)
            QThread::msleep(5);
    }
}

} // namespace

bool stopProcessesByImageName(const QString& imageName)
{
    if (imageName.isEmpty())
        return false;
    QList<pid_t> stopped;
    const QList<pid_t> found = processesNamed(imageName);
    for (pid_t pid : found) {
        if (kill(pid, SIGKILL) == 0)
            stopped.append(pid);
    }
    waitUntilGone(stopped);
    return !stopped.isEmpty();
}

bool copyFileOver(const QString& existingFile, const QString& newFile)
{
    QFile source(existingFile);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    // Copy beside the target and rename over it, so the target is never seen
    // half written, then give it the source's permissions (executables stay
    // executable).
    const QString partial = newFile + QStringLiteral(".vaderoru-part");
    QFile target(partial);
    if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray chunk;
    bool ok = true;
    while (ok && !(chunk = source.read(1 << 20)).isEmpty())
        ok = target.write(chunk) == chunk.size();
    ok = ok && source.error() == QFileDevice::NoError && target.flush();
    target.close();
    ok = ok && target.setPermissions(source.permissions());
    ok = ok && ::rename(QFile::encodeName(partial).constData(),
                        QFile::encodeName(newFile).constData()) == 0;
    if (!ok)
        QFile::remove(partial);
    return ok;
}

PingCommand pingCommand(const QString& host, int count, int timeoutMs)
{
    const int timeoutSeconds = qMax(1, (timeoutMs + 999) / 1000);
    return {QStringLiteral("ping"),
            {QStringLiteral("-c"), QString::number(count), QStringLiteral("-W"),
             QString::number(timeoutSeconds), host}};
}

bool containsEchoReply(const QByteArray& output)
{
    return output.toLower().contains("ttl=");
}

void releaseStaleSharedMemory(const QString& key)
{
    // System V segments outlive a crashed owner. Attaching and detaching
    // destroys a segment that nobody else holds; a live owner keeps it.
    QSharedMemory probe(key);
    if (probe.attach(QSharedMemory::ReadOnly))
        probe.detach();
}

} // namespace platform
