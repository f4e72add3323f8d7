#include "platform/Platform.h"

#include "install/InstallationLayout.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSharedMemory>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform {

QString updaterFileName()
{
    return QStringLiteral("VaDeroru");
}
QString temporaryUpdaterFileName()
{
    return QStringLiteral("VaDeroru_temp");
}
QString logConsoleImageName()
{
    return QStringLiteral("LogConsole");
}

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

QString baseName(const QString& path)
{
    return QFileInfo(path).fileName();
}

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

    const QString comm =
        QString::fromLocal8Bit(readProcFile(pidDir + QStringLiteral("/comm"))).trimmed();
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

// Closes the file it holds when it goes out of scope.
struct FileDescriptor
{
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    // False when the last writes could not be completed.
    bool close()
    {
        const bool ok = fd < 0 || ::close(fd) == 0;
        fd = -1;
        return ok;
    }
    int fd;
};

bool readWriteContent(int in, int out)
{
    std::vector<char> buffer(1 << 17);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer.data() + done, size_t(got - done));
            if (put < 0 && errno != EINTR)
                return false;
            done += qMax<ssize_t>(put, 0);
        }
    }
}

// Copies from the current offset of `in` to its end. The kernel moves the
// bytes itself where it can (no trip through user memory, shared extents on
// file systems that have them); other file systems get plain reads and writes.
bool copyContent(int in, int out)
{
    for (;;) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (copied == 0)
            return true;
        if (copied > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
            return readWriteContent(in, out);
        return false;
    }
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
    // Copy beside the target and rename over it, so the target is never seen
    // half written, with the source's permissions (executables stay
    // executable). No sync per file: that would cost more than the copy.
    const FileDescriptor source(
        ::open(QFile::encodeName(existingFile).constData(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (source.fd < 0 || ::fstat(source.fd, &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const QByteArray partial = QFile::encodeName(newFile + QLatin1String(layout::kPartSuffix));
    FileDescriptor target(
        ::open(partial.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (target.fd < 0)
        return false;
    // fchmod, not the mode of open(), which the umask would cut down.
    bool ok = copyContent(source.fd, target.fd) && ::fchmod(target.fd, status.st_mode & 07777) == 0;
    ok = target.close() && ok;
    ok = ok && ::rename(partial.constData(), QFile::encodeName(newFile).constData()) == 0;
    if (!ok)
        ::unlink(partial.constData());
    return ok;
}

namespace {

bool withFolder(const QString& folder, int (*operation)(int))
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool done = operation(fd) == 0;
    ::close(fd);
    return done;
}

} // namespace

bool flushToDisk(const QString& folder, const QStringList&)
{
    return withFolder(folder, ::syncfs);
}

bool syncFolder(const QString& folder)
{
    return withFolder(folder, ::fsync);
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
