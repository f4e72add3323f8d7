#pragma once

// The few places where the updater touches the operating system directly.
// Each function has one implementation per system (platform_unix.cpp,
// platform_win.cpp); the rest of the program stays free of #ifdefs.

#include <QString>
#include <QStringList>

class QByteArray;
class QFile;

namespace platform {

// Executable names as the running system spells them.
QString updaterFileName();          // the updater itself
QString temporaryUpdaterFileName(); // a new updater left for the main program
QString logConsoleImageName();      // the companion log console
// How the system compares file names: exactly on Linux, regardless of
// letter case on Windows.
Qt::CaseSensitivity fileNameCaseSensitivity();

// Stops every other process whose image name is `imageName` and waits for
// them. True when at least one process was stopped.
bool stopProcessesByImageName(const QString& imageName);
// Stops every process running the program file `executablePath` (also one
// whose file has been replaced since it started), and no other: the same
// name in another folder is another installation's. A script ("#!") is
// known on Linux by its interpreter running it: the interpreter's process
// whose script argument is `executablePath`. Waits for them; true when at
// least one process was stopped.
bool stopProcessesByExecutable(const QString& executablePath);

// Marks one process as the one at work on an installation: an exclusive
// lock on a file inside it. The system releases it when the process ends,
// however it ends, so a crash never leaves the installation blocked.
class InstanceLock
{
public:
    enum class State
    {
        Held,
        HeldByAnother,
        Unavailable // the file cannot be created or locked at all
    };
    struct Outcome
    {
        State state;
        QString reason; // empty when held
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Creates `lockFile` and its folder when missing, then locks it without
    // waiting. The lock is not handed on to child processes.
    Outcome acquire(const QString& lockFile);

private:
    void release();

    qintptr m_handle = -1; // a file descriptor or a HANDLE
};

// How asking to start a program with administrator rights went.
enum class Elevation
{
    Started,
    Refused,     // the user said no
    Unavailable, // the system offers no way to ask (no pkexec on Linux)
    Failed       // the program could not be started
};

// A program started by this process and watched for a while. Neither the
// end of the watch nor that of this process ends the program: it runs on
// alone.
class WatchedProcess
{
public:
    struct End
    {
        enum class Kind
        {
            Running,
            Exited,
            Crashed // killed by a signal on Linux, ended by an exception on Windows
        };
        Kind kind = Kind::Running;
        qint64 code = 0; // the exit code; the signal; or the Windows exception code
        bool normal() const { return kind == Kind::Exited && code == 0; }
        // "running", "exit code 3", or as crashName() says it.
        QString text() const;
    };
    // A crash as the system reports it: "signal 6", "exception 0xC0000005".
    static QString crashName(qint64 code);

    WatchedProcess() = default;
    ~WatchedProcess();
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    // Starts `program` with `arguments` (no shell), in this process's
    // working folder, with its environment. False with the reason.
    bool start(const QString& program, const QStringList& arguments, QString& reason);
    // Starts `program` as start() does, but with administrator rights, which
    // the system asks the user for (see setElevationVerb); the reason unless
    // Started.
    Elevation startElevated(const QString& program, const QStringList& arguments, QString& reason);
    // Waits at most `milliseconds` for the program to end; Running when it
    // has not. Once it has ended, every later wait returns the same at once.
    End wait(int milliseconds);

private:
    void release();

    qintptr m_handle = -1; // a process ID or a process HANDLE, until the end is known
    End m_end;
};

inline QString WatchedProcess::End::text() const
{
    if (kind == Kind::Running)
        return QStringLiteral("running");
    return kind == Kind::Exited ? QStringLiteral("exit code %1").arg(code) : crashName(code);
}

// How startElevated() asks: "runas", the shipped default, through the
// system's prompt (UAC on Windows, pkexec on Linux). Tests choose "open",
// which starts the program with this process's own rights, or "cancel",
// which plays a user who says no.
void setElevationVerb(const QString& verb);
// True when the end of a program started elevated is the prompt's refusal
// instead: pkexec ends with 126 when the user dismisses it, 127 when they
// cannot authenticate. Windows refuses at the start.
bool endedAsRefusal(const WatchedProcess::End& end);

// Copies `existingFile` over `newFile` the way an installation puts a file
// in place, never leaving `newFile` half written: a file it replaces keeps
// its owner and mode; a new file, or one in the place of a link, takes the
// mode of `existingFile` and the owner of the folder it lands in, so that an
// updater run as root leaves a user's installation theirs. An installed file
// never gets the set-user-ID, set-group-ID or sticky bit, and a link in its
// place is replaced, never written through.
bool copyFileOver(const QString& existingFile, const QString& newFile);
// Copies `existingFile` to `newFile` as its exact stand-in, which can later
// be renamed back into its place: content, mode, times and, where the
// process may set it, owner. A link is copied as a link to the same place.
bool copyFileExactly(const QString& existingFile, const QString& newFile);
// What a move of one file did: a rename, where one reaches; a copy, where a
// rename cannot cross file systems; or nothing, and why. Held is a refusal
// that may pass: another program has the file open and lets nobody rename
// or replace it (Windows only; Linux renames open files).
struct FileMove
{
    enum class Way
    {
        Failed,
        Held,
        Renamed,
        Copied
    };
    Way way = Way::Failed;
    QString reason; // empty unless failed

    bool succeeded() const { return way == Way::Renamed || way == Way::Copied; }
    bool held() const { return way == Way::Held; }
};
// Moves `existingFile` over `newFile`, replacing it: a rename, which needs
// no free space; across file systems an exact copy, after which
// `existingFile` is removed.
FileMove moveFileOver(const QString& existingFile, const QString& newFile);

// Sets `installedFile` aside as `backupFile`, its exact stand-in: a rename,
// which leaves nothing at the installed place; across file systems an exact
// copy (see copyFileExactly), which leaves the installed file where it is.
FileMove setAside(const QString& installedFile, const QString& backupFile);
// Puts `unpackedFile` in place as `target`, looking as copyFileOver makes a
// copy look, without copying where a rename reaches: it takes the owner and
// mode of `replacedFile` (the file it replaces, wherever that is by now:
// still at `target` or set aside), or for a new file (`replacedFile` empty,
// or a link) keeps its own mode and takes the owner of the folder it lands
// in; then it is renamed over `target`. Across file systems it is copied
// there instead. On failure `target` is as it was.
FileMove moveIntoPlace(const QString& unpackedFile, const QString& target,
                       const QString& replacedFile);
// The other programs that have any of `files` open, as "name (pid 1234)":
// on Windows the applications the Restart Manager names, on Linux the
// command names of the processes holding one of them through /proc/*/fd.
// Empty when none can be named.
QStringList processesHolding(const QStringList& files);
// Makes `folder`, whose parent exists, with the owner of that parent.
bool makeFolder(const QString& folder);
// True when `path` itself is a link: a symbolic link, or on Windows a
// junction too. Whatever it points to is not looked at.
bool isLink(const QString& path);
// Removes the link `path` itself, never what it points to.
bool removeLink(const QString& path);
// True when something is at `path` itself, a link that leads nowhere too.
bool existsItself(const QString& path);
// False, with the reason, for a file the system keeps from being renamed
// away or replaced whoever asks: immutable or append-only on Linux. Windows
// renames a read-only file away like any other, so nothing is refused there.
// A link is looked at itself, never through; nothing at `path`, or a folder,
// is not refused here.
bool mayReplace(const QString& path, QString& reason);
// Whether `folder` takes new files and lets them go again, as every folder
// an installation writes to must: a real probe, a file made there and
// removed, since permissions tell only part of it (a read-only mount, an
// immutable folder, access lists). A probe cut short leaves nothing
// behind. False with the reason.
bool takesNewFiles(const QString& folder, QString& reason);

// Opens `file` on `path`, made if missing, for writing at its end only,
// however many processes append to it at once: no one's line lands on
// another's. Qt's Append mode on Windows merely starts at the end, and each
// handle then writes on from where it was.
bool openForAppending(QFile& file, const QString& path);

// Makes everything written so far below `folder` durable. One call covers a
// whole set of files: on Linux a single syncfs of the folder's file system;
// on Windows, which offers ordinary users no volume-wide flush, one pass of
// flushes over `files`.
bool flushToDisk(const QString& folder, const QStringList& files);
// Makes the renames and removals inside `folder` itself durable.
bool syncFolder(const QString& folder);

// The system's echo-request command: two requests, `timeoutMs` per reply.
struct PingCommand
{
    QString program;
    QStringList arguments;
};
PingCommand pingCommand(const QString& host, int count, int timeoutMs);
// True when `output` holds the line the ping command prints for a reply.
bool containsEchoReply(const QByteArray& output);

// Removes a shared-memory segment under `key` that no live process holds,
// as left behind by a crashed process on systems where segments outlive it.
void releaseStaleSharedMemory(const QString& key);

} // namespace platform
