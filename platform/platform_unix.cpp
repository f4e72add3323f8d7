#include "platform/Platform.h"

#include "layout/InstallationLayout.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSharedMemory>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
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
Qt::CaseSensitivity fileNameCaseSensitivity()
{
    return Qt::CaseSensitive;
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

// A process is known by the file name of its executable or by that of its
// argv[0] (a program started through a symbolic link or a wrapper). Never by
// the kernel's command name: cut to 15 characters, it names every program
// that starts alike.
bool processMatches(const QString& pidDir, const QString& imageName)
{
    const QString exe = QFile::symLinkTarget(pidDir + QStringLiteral("/exe"));
    if (!exe.isEmpty() && baseName(exe) == imageName)
        return true;

    const QByteArray cmdline = readProcFile(pidDir + QStringLiteral("/cmdline"));
    const QByteArray argv0 = cmdline.left(cmdline.indexOf('\0'));
    return !argv0.isEmpty() && baseName(QString::fromLocal8Bit(argv0)) == imageName;
}

// Every process but this one whose /proc folder `matches` accepts.
template <typename Match> QList<pid_t> otherProcessesWhere(Match matches)
{
    QList<pid_t> pids;
    const pid_t self = getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid || pid == self)
            continue;
        if (matches(QStringLiteral("/proc/") + entry))
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

// True when at least one of `pids` could be signalled; those are gone (or
// past the wait) on return. A process of another user that we may not signal
// does not count.
bool killAndWait(const QList<pid_t>& pids)
{
    QList<pid_t> stopped;
    for (pid_t pid : pids) {
        if (kill(pid, SIGKILL) == 0)
            stopped.append(pid);
    }
    waitUntilGone(stopped);
    return !stopped.isEmpty();
}

// What /proc adds to the program path of a process whose file was deleted or
// replaced after it started: it still runs the old file from that path.
const QByteArray kDeletedMark = QByteArrayLiteral(" (deleted)");

QByteArray programPathOf(const QString& pidDir)
{
    char target[PATH_MAX];
    const ssize_t size = ::readlink(QFile::encodeName(pidDir + QStringLiteral("/exe")).constData(),
                                    target, sizeof(target));
    // A full buffer may hold a cut path, which must not match a shorter one.
    if (size <= 0 || size_t(size) >= sizeof(target))
        return {};
    QByteArray path(target, int(size));
    if (path.endsWith(kDeletedMark))
        path.chop(kDeletedMark.size());
    return path;
}

// `path` as /proc spells a running program's file: absolute, every symbolic
// link resolved. A file that is gone keeps its name in its resolved folder.
QByteArray canonicalProgramPath(const QString& path)
{
    const QFileInfo file(path);
    const QString canonical = file.canonicalFilePath();
    if (!canonical.isEmpty())
        return QFile::encodeName(canonical);
    const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QByteArray()
                            : QFile::encodeName(QDir(folder).filePath(file.fileName()));
}

// How the kernel starts a script: its interpreter's program runs with the
// script's path as the argument at `scriptIndex`, after the one option the
// "#!" line may give. Empty for a file that is no script.
struct ScriptStart
{
    QByteArray interpreter;
    int scriptIndex = 1;
};

ScriptStart scriptStartOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = file.readLine(PATH_MAX).trimmed();
    if (!line.startsWith("#!"))
        return {};
    const QByteArray rest = line.mid(2).trimmed();
    const int space = rest.indexOf(' ');
    const QString program = QFile::decodeName(space < 0 ? rest : rest.left(space));
    const QByteArray option = space < 0 ? QByteArray() : rest.mid(space + 1).trimmed();
    // "#!/usr/bin/env NAME": env runs NAME itself, found on the path.
    if (QFileInfo(program).fileName() == QLatin1String("env") && !option.isEmpty() &&
        !option.startsWith('-') && !option.contains(' ')) {
        const QString found = QStandardPaths::findExecutable(QFile::decodeName(option));
        return {found.isEmpty() ? QByteArray() : canonicalProgramPath(found), 1};
    }
    return {canonicalProgramPath(program), option.isEmpty() ? 1 : 2};
}

// The argument at `index` of a process, as an absolute path: a relative one
// is taken from the process's working folder.
QString argumentPathOf(const QString& pidDir, int index)
{
    const QList<QByteArray> arguments =
        readProcFile(pidDir + QStringLiteral("/cmdline")).split('\0');
    if (index >= arguments.size() || arguments.at(index).isEmpty())
        return {};
    const QString argument = QFile::decodeName(arguments.at(index));
    if (QDir::isAbsolutePath(argument))
        return argument;
    const QString folder = QFile::symLinkTarget(pidDir + QStringLiteral("/cwd"));
    return folder.isEmpty() ? QString() : QDir(folder).filePath(argument);
}

// A process runs `program` itself, or runs its interpreter with `program` as
// the script, where the kernel puts it: never matched by a name alone.
bool runsProgram(const QString& pidDir, const QByteArray& program, const ScriptStart& script)
{
    const QByteArray running = programPathOf(pidDir);
    if (running == program)
        return true;
    if (script.interpreter.isEmpty() || running != script.interpreter)
        return false;
    const QString argument = argumentPathOf(pidDir, script.scriptIndex);
    return !argument.isEmpty() && canonicalProgramPath(argument) == program;
}

} // namespace

bool stopProcessesByImageName(const QString& imageName)
{
    if (imageName.isEmpty())
        return false;
    return killAndWait(otherProcessesWhere(
        [&imageName](const QString& pidDir) { return processMatches(pidDir, imageName); }));
}

bool stopProcessesByExecutable(const QString& executablePath)
{
    const QByteArray program =
        executablePath.isEmpty() ? QByteArray() : canonicalProgramPath(executablePath);
    if (program.isEmpty())
        return false;
    const ScriptStart script = scriptStartOf(executablePath);
    return killAndWait(otherProcessesWhere([&program, &script](const QString& pidDir) {
        return runsProgram(pidDir, program, script);
    }));
}

InstanceLock::~InstanceLock()
{
    release();
}

void InstanceLock::release()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
    m_handle = -1;
}

InstanceLock::Outcome InstanceLock::acquire(const QString& lockFile)
{
    release();
    QDir().mkpath(QFileInfo(lockFile).path());
    // Close-on-exec: the main program the updater starts must not keep the
    // installation locked after the updater has ended.
    const int fd = ::open(QFile::encodeName(lockFile).constData(), O_RDWR | O_CREAT | O_CLOEXEC,
                          S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH);
    if (fd < 0)
        return {State::Unavailable, lockFile + QStringLiteral(": ") + qt_error_string(errno)};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return {State::HeldByAnother, lockFile + QStringLiteral(" is held by another process")};
        return {State::Unavailable, lockFile + QStringLiteral(": ") + qt_error_string(error)};
    }
    m_handle = fd;
    return {State::Held, QString()};
}

namespace {

// How often a watch looks whether the program has ended.
constexpr int kWatchStepMs = 10;

// The argument vector lives in `encoded`; both must outlive the spawn.
std::vector<char*> argumentVector(const QString& program, const QStringList& arguments,
                                  QList<QByteArray>& encoded)
{
    encoded.append(QFile::encodeName(program));
    for (const QString& argument : arguments)
        encoded.append(argument.toLocal8Bit());
    std::vector<char*> vector;
    for (QByteArray& argument : encoded)
        vector.push_back(argument.data());
    vector.push_back(nullptr);
    return vector;
}

// The program starts with every signal at its default and none blocked, as
// from a shell, whatever this process has chosen for itself.
int spawnFresh(pid_t& pid, const char* path, char* const arguments[])
{
    posix_spawnattr_t attributes;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = ::posix_spawn(&pid, path, nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    return error;
}

WatchedProcess::End endOf(int status)
{
    using Kind = WatchedProcess::End::Kind;
    if (WIFSIGNALED(status))
        return {Kind::Crashed, WTERMSIG(status)};
    return {Kind::Exited, WEXITSTATUS(status)};
}

void* reapWhenEnded(void* pid)
{
    ::waitpid(pid_t(reinterpret_cast<qintptr>(pid)), nullptr, 0);
    return nullptr;
}

} // namespace

QString WatchedProcess::crashName(qint64 code)
{
    return QStringLiteral("signal %1").arg(code);
}

WatchedProcess::~WatchedProcess()
{
    release();
}

// A program still running is left to run; a thread of this process waits
// for its end, so that it does not stay behind as a zombie should it end
// before this process does.
void WatchedProcess::release()
{
    pthread_t reaper;
    if (m_handle > 0 &&
        pthread_create(&reaper, nullptr, reapWhenEnded, reinterpret_cast<void*>(m_handle)) == 0)
        pthread_detach(reaper);
    m_handle = -1;
}

bool WatchedProcess::start(const QString& program, const QStringList& arguments, QString& reason)
{
    release();
    m_end = End();
    QList<QByteArray> encoded;
    const std::vector<char*> vector = argumentVector(program, arguments, encoded);
    pid_t pid = -1;
    const int error = spawnFresh(pid, vector.front(), vector.data());
    if (error != 0) {
        reason = program + QStringLiteral(": ") + qt_error_string(error);
        return false;
    }
    m_handle = pid;
    return true;
}

WatchedProcess::End WatchedProcess::wait(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (m_handle > 0) {
        int status = 0;
        const pid_t ended = ::waitpid(pid_t(m_handle), &status, WNOHANG);
        if (ended == m_handle) {
            m_end = endOf(status);
            m_handle = -1;
        } else if (ended != 0 || clock.hasExpired(milliseconds)) {
            // An error here means a SIGCHLD set to be ignored has taken
            // the status, which this program never does.
            break;
        } else {
            QThread::msleep(kWatchStepMs);
        }
    }
    return m_end;
}

namespace {

// Only root may give a file away. Anybody else leaves it their own, as any
// program of theirs would, and that is no failure.
bool giveTo(int fd, const struct stat& like)
{
    struct stat current;
    if (::fstat(fd, &current) != 0)
        return false;
    if (current.st_uid == like.st_uid && current.st_gid == like.st_gid)
        return true;
    return ::fchown(fd, like.st_uid, like.st_gid) == 0 ||
           (errno == EPERM && current.st_uid == ::geteuid());
}

enum class Copy
{
    // Fresh times, and never the set-user-ID, set-group-ID or sticky bit:
    // a program that runs as its owner is not the updater's to make, least
    // of all from a mode a planted file lends it.
    Installed,
    Exact // the times and the whole mode of the file copied
};

// Owner before mode: a change of owner clears the set-user and set-group
// bits. fchmod, not the mode of open(), which the umask would cut down.
bool takeAttributes(int fd, const struct stat& like, Copy copy)
{
    const mode_t mode = like.st_mode & (copy == Copy::Exact ? 07777 : 0777);
    if (!giveTo(fd, like) || ::fchmod(fd, mode) != 0)
        return false;
    const struct timespec kept[2] = {like.st_atim, like.st_mtim};
    return copy == Copy::Installed || ::futimens(fd, kept) == 0;
}

QByteArray partialCopyOf(const QString& target)
{
    return QFile::encodeName(target + QLatin1String(layout::kPartSuffix));
}

// Copies beside `target` and renames the copy over it, so the target is
// never seen half written. No sync per file: that would cost more than the
// copy.
bool placeCopy(int source, const QString& target, const struct stat& like, Copy kind)
{
    const QByteArray partial = partialCopyOf(target);
    // What a crash left there goes first; O_EXCL never writes through a link
    // put in its place.
    ::unlink(partial.constData());
    FileDescriptor copy(
        ::open(partial.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (copy.fd < 0)
        return false;
    bool ok = copyContent(source, copy.fd) && takeAttributes(copy.fd, like, kind);
    ok = copy.close() && ok;
    ok = ok && ::rename(partial.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok)
        ::unlink(partial.constData());
    return ok;
}

// -1 for anything but a regular file that can be read, errno saying why.
int openRegularFile(const QString& path, struct stat& status, int flags = 0)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0 || (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)))
        return fd;
    ::close(fd);
    errno = EINVAL;
    return -1;
}

bool statFolderOf(const QString& path, struct stat& folder)
{
    return ::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &folder) == 0;
}

// A new installed file keeps the package's mode and takes the owner of the
// folder it lands in.
bool newFileLike(const QString& target, const struct stat& package, struct stat& like)
{
    struct stat folder;
    if (!statFolderOf(target, folder))
        return false;
    like = package;
    like.st_uid = folder.st_uid;
    like.st_gid = folder.st_gid;
    return true;
}

// What a file installed at `target` looks like: the regular file it
// replaces, found at `replaced`; in the place of a link, a new file. The
// link is never looked through: what it points to, inside the installation
// or not, lends the new file nothing.
bool replacedLike(const QString& replaced, const QString& target, const struct stat& package,
                  struct stat& like)
{
    if (::lstat(QFile::encodeName(replaced).constData(), &like) != 0)
        return false;
    if (S_ISLNK(like.st_mode))
        return newFileLike(target, package, like);
    errno = S_ISREG(like.st_mode) ? 0 : EINVAL;
    return errno == 0;
}

// The same for whatever is at `target`, a new file where nothing is.
bool installedLike(const QString& target, const struct stat& package, struct stat& like)
{
    if (replacedLike(target, target, package, like))
        return true;
    return errno == ENOENT && newFileLike(target, package, like);
}

// A link's stand-in: a link to the same place, with the link's owner and
// times where the process may set them, put in place by a rename.
bool placeLinkCopy(const QString& link, const QString& target)
{
    struct stat original;
    char destination[PATH_MAX];
    const QByteArray from = QFile::encodeName(link);
    const ssize_t size = ::readlink(from.constData(), destination, sizeof(destination) - 1);
    if (size < 0 || ::lstat(from.constData(), &original) != 0)
        return false;
    destination[size] = '\0';
    const QByteArray partial = partialCopyOf(target);
    ::unlink(partial.constData());
    if (::symlink(destination, partial.constData()) != 0)
        return false;
    const struct timespec kept[2] = {original.st_atim, original.st_mtim};
    const bool placed =
        (::lchown(partial.constData(), original.st_uid, original.st_gid) == 0 || errno == EPERM) &&
        ::utimensat(AT_FDCWD, partial.constData(), kept, AT_SYMLINK_NOFOLLOW) == 0 &&
        ::rename(partial.constData(), QFile::encodeName(target).constData()) == 0;
    if (!placed)
        ::unlink(partial.constData());
    return placed;
}

FileMove moved(FileMove::Way way)
{
    return {way, QString()};
}

// From errno, which must still hold the failure.
FileMove failedMove(const char* step)
{
    return {FileMove::Way::Failed,
            QLatin1String(step) + QStringLiteral(": ") + qt_error_string(errno)};
}

int renameFile(const QString& from, const QString& to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData());
}

} // namespace

bool copyFileOver(const QString& existingFile, const QString& newFile)
{
    struct stat package;
    struct stat like;
    const FileDescriptor source(openRegularFile(existingFile, package));
    return source.fd >= 0 && installedLike(newFile, package, like) &&
           placeCopy(source.fd, newFile, like, Copy::Installed);
}

bool copyFileExactly(const QString& existingFile, const QString& newFile)
{
    if (isLink(existingFile))
        return placeLinkCopy(existingFile, newFile);
    struct stat original;
    const FileDescriptor source(openRegularFile(existingFile, original));
    return source.fd >= 0 && placeCopy(source.fd, newFile, original, Copy::Exact);
}

FileMove setAside(const QString& installedFile, const QString& backupFile)
{
    if (renameFile(installedFile, backupFile) == 0)
        return moved(FileMove::Way::Renamed);
    if (errno != EXDEV)
        return failedMove("rename");
    return copyFileExactly(installedFile, backupFile) ? moved(FileMove::Way::Copied)
                                                      : failedMove("copy");
}

FileMove moveIntoPlace(const QString& unpackedFile, const QString& target,
                       const QString& replacedFile)
{
    struct stat package;
    struct stat like;
    // A link would be renamed as a link: only a file of the package goes in.
    const FileDescriptor source(openRegularFile(unpackedFile, package, O_NOFOLLOW));
    if (source.fd < 0)
        return failedMove("open");
    const bool known = replacedFile.isEmpty() ? newFileLike(target, package, like)
                                              : replacedLike(replacedFile, target, package, like);
    if (!known || !takeAttributes(source.fd, like, Copy::Installed))
        return failedMove("attributes");
    if (renameFile(unpackedFile, target) == 0)
        return moved(FileMove::Way::Renamed);
    if (errno != EXDEV)
        return failedMove("rename");
    return placeCopy(source.fd, target, like, Copy::Installed) ? moved(FileMove::Way::Copied)
                                                               : failedMove("copy");
}

FileMove moveFileOver(const QString& existingFile, const QString& newFile)
{
    const QByteArray from = QFile::encodeName(existingFile);
    if (::rename(from.constData(), QFile::encodeName(newFile).constData()) == 0)
        return moved(FileMove::Way::Renamed);
    if (errno != EXDEV)
        return failedMove("rename");
    // No rename crosses file systems; an exact copy stands in for one there.
    if (!copyFileExactly(existingFile, newFile))
        return failedMove("copy");
    return ::unlink(from.constData()) == 0 ? moved(FileMove::Way::Copied) : failedMove("remove");
}

namespace {

// Whether the process has one of `files` open, each spelled as /proc spells
// an open file: absolute, every link resolved.
bool holdsAnyOf(const QString& pidDir, const QList<QByteArray>& files)
{
    const QString fdDir = pidDir + QStringLiteral("/fd");
    // Another user's processes keep their list to themselves.
    const QStringList fds = QDir(fdDir).entryList(QDir::AllEntries | QDir::System);
    for (const QString& fd : fds) {
        char target[PATH_MAX];
        const ssize_t size = ::readlink(
            QFile::encodeName(fdDir + QLatin1Char('/') + fd).constData(), target, sizeof(target));
        if (size > 0 && size_t(size) < sizeof(target) &&
            files.contains(QByteArray(target, int(size))))
            return true;
    }
    return false;
}

} // namespace

QStringList processesHolding(const QStringList& files)
{
    QList<QByteArray> wanted;
    for (const QString& file : files)
        wanted.append(canonicalProgramPath(file));
    wanted.removeAll(QByteArray());
    QStringList holders;
    if (wanted.isEmpty())
        return holders;
    const QList<pid_t> pids = otherProcessesWhere(
        [&wanted](const QString& pidDir) { return holdsAnyOf(pidDir, wanted); });
    for (pid_t pid : pids) {
        const QByteArray name = readProcFile(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed();
        holders.append(QStringLiteral("%1 (pid %2)").arg(QString::fromLocal8Bit(name)).arg(pid));
    }
    return holders;
}

bool makeFolder(const QString& folder)
{
    struct stat parent;
    const QByteArray path = QFile::encodeName(folder);
    if (!statFolderOf(folder, parent) || ::mkdir(path.constData(), 0777) != 0)
        return false;
    const FileDescriptor made(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (made.fd >= 0 && giveTo(made.fd, parent))
        return true;
    ::rmdir(path.constData());
    return false;
}

bool isLink(const QString& path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool removeLink(const QString& path)
{
    return isLink(path) && ::unlink(QFile::encodeName(path).constData()) == 0;
}

bool existsItself(const QString& path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

namespace {

constexpr int kUnchangeable = FS_IMMUTABLE_FL | FS_APPEND_FL;

// The attribute flags chattr sets; none on a file system that keeps none.
int attributeFlagsOf(int fd)
{
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : 0;
}

QString unchangeableReason(const QString& path, int flags)
{
    return path + QLatin1String(flags & FS_IMMUTABLE_FL ? " is immutable" : " is append-only");
}

bool failedAt(const QString& path, const char* step, QString& reason)
{
    reason = path + QStringLiteral(": ") + QLatin1String(step) + QStringLiteral(": ") +
             qt_error_string(errno);
    return false;
}

// Where the file system offers no unnamed file, a named one, made afresh and
// removed again.
bool probeByName(int folder, const QString& path, QString& reason)
{
    const char* name = layout::kWriteProbe;
    ::unlinkat(folder, name, 0);
    FileDescriptor probe(::openat(
        folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (probe.fd < 0)
        return failedAt(path, "create", reason);
    probe.close();
    return ::unlinkat(folder, name, 0) == 0 || failedAt(path, "remove", reason);
}

} // namespace

bool mayReplace(const QString& path, QString& reason)
{
    // Only a regular file carries flags that matter here: a link is renamed
    // away as it is, and nothing else is opened. A file this process may not
    // even read shows it no flags; root, who may set them, reads every file.
    struct stat status;
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return true;
    const FileDescriptor file(
        ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const int flags = file.fd < 0 ? 0 : attributeFlagsOf(file.fd);
    if (!(flags & kUnchangeable))
        return true;
    reason = unchangeableReason(path, flags);
    return false;
}

bool takesNewFiles(const QString& folder, QString& reason)
{
    const FileDescriptor dir(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return failedAt(folder, "open", reason);
    // An append-only folder takes a file but never lets it go.
    const int flags = attributeFlagsOf(dir.fd);
    if (flags & kUnchangeable) {
        reason = unchangeableReason(folder, flags);
        return false;
    }
    // An unnamed file: whenever this process ends, nothing is left of it.
    const FileDescriptor probe(::openat(dir.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR));
    if (probe.fd >= 0)
        return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return failedAt(folder, "create", reason);
    return probeByName(dir.fd, folder, reason);
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

bool openForAppending(QFile& file, const QString& path)
{
    // O_APPEND puts every write at the end.
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
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

// Administrator rights on Linux come through pkexec, which asks the user
// (polkit) for them.
namespace {

constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

QString& elevationVerb()
{
    static QString verb = QStringLiteral("runas");
    return verb;
}

bool asksTheUser()
{
    return elevationVerb() == QLatin1String("runas");
}

} // namespace

void setElevationVerb(const QString& verb)
{
    elevationVerb() = verb;
}

Elevation WatchedProcess::startElevated(const QString& program, const QStringList& arguments,
                                        QString& reason)
{
    if (elevationVerb() == QLatin1String("cancel")) {
        reason = QStringLiteral("the user did not give administrator rights");
        return Elevation::Refused;
    }
    if (!asksTheUser())
        return start(program, arguments, reason) ? Elevation::Started : Elevation::Failed;
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        reason = QStringLiteral("pkexec, which asks for administrator rights, is not installed");
        return Elevation::Unavailable;
    }
    return start(pkexec, QStringList{program} + arguments, reason) ? Elevation::Started
                                                                   : Elevation::Failed;
}

bool endedAsRefusal(const WatchedProcess::End& end)
{
    return asksTheUser() && end.kind == WatchedProcess::End::Kind::Exited &&
           (end.code == kPkexecDismissed || end.code == kPkexecNotAuthorized);
}

} // namespace platform
