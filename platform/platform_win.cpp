#include "platform/Platform.h"

#include "layout/InstallationLayout.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <restartmanager.h>
#include <shellapi.h>
#include <tlhelp32.h>

namespace platform {

QString updaterFileName()
{
    return QStringLiteral("VaDeroru.exe");
}
QString temporaryUpdaterFileName()
{
    return QStringLiteral("VaDeroru_temp.exe");
}
QString logConsoleImageName()
{
    return QStringLiteral("LogConsole.exe");
}
Qt::CaseSensitivity fileNameCaseSensitivity()
{
    return Qt::CaseInsensitive;
}

namespace {

// `path` as the W functions take it: backslashes, UTF-16. Used inline, as
// nativePath(p).c_str(), it lives until the call has returned.
std::wstring nativePath(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// How long stopped processes may take to end before we give up on them.
constexpr ULONGLONG kStopWaitMs = 5000;

// Windows file names ignore letter case and take either separator.
QString comparablePath(const QString& path)
{
    return QDir::cleanPath(QDir::fromNativeSeparators(path)).toCaseFolded();
}

QString programPathOf(HANDLE process)
{
    std::vector<wchar_t> buffer(32768);
    DWORD size = DWORD(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size))
        return QString();
    return QString::fromWCharArray(buffer.data(), int(size));
}

// The other processes whose program file `matches`, opened so that they can
// be ended and waited for. Those we may not open (another user's) are left
// alone, and so is this one: a main program may share the updater's name.
template <typename Match> QList<HANDLE> otherProcessesRunning(Match matches)
{
    QList<HANDLE> found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == self)
            continue;
        const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID);
        if (!process)
            continue;
        if (matches(comparablePath(programPathOf(process))))
            found.append(process);
        else
            CloseHandle(process);
    }
    CloseHandle(snapshot);
    return found;
}

void waitUntilGone(const QList<HANDLE>& processes)
{
    const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
    for (HANDLE process : processes) {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(process, DWORD(now < deadline ? deadline - now : 0));
    }
}

// Ends `processes`, waits for them and closes their handles; true when at
// least one was ended.
bool stopAll(const QList<HANDLE>& processes)
{
    bool stopped = false;
    for (HANDLE process : processes)
        stopped = TerminateProcess(process, 1) != 0 || stopped;
    waitUntilGone(processes);
    for (HANDLE process : processes)
        CloseHandle(process);
    return stopped;
}

} // namespace

// Through the process list rather than taskkill, which would end this very
// process too when it bears the name.
bool stopProcessesByImageName(const QString& imageName)
{
    if (imageName.isEmpty())
        return false;
    const QString wanted = imageName.toCaseFolded();
    return stopAll(otherProcessesRunning(
        [&wanted](const QString& program) { return QFileInfo(program).fileName() == wanted; }));
}

bool stopProcessesByExecutable(const QString& executablePath)
{
    if (executablePath.isEmpty())
        return false;
    const QString wanted = comparablePath(QFileInfo(executablePath).absoluteFilePath());
    return stopAll(
        otherProcessesRunning([&wanted](const QString& program) { return program == wanted; }));
}

InstanceLock::~InstanceLock()
{
    release();
}

void InstanceLock::release()
{
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = -1;
}

InstanceLock::Outcome InstanceLock::acquire(const QString& lockFile)
{
    release();
    QDir().mkpath(QFileInfo(lockFile).path());
    // No sharing at all: every other opener is refused while this handle
    // lives. Handles are not inherited unless asked for, so the main program
    // the updater starts does not keep the lock.
    const HANDLE handle = CreateFileW(nativePath(lockFile).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            return {State::HeldByAnother, lockFile + QStringLiteral(" is held by another process")};
        return {State::Unavailable, lockFile + QStringLiteral(": ") + qt_error_string(int(error))};
    }
    m_handle = reinterpret_cast<qintptr>(handle);
    return {State::Held, QString()};
}

namespace {

// Exit codes from here up are NTSTATUS errors: the program ended by an
// exception it did not handle (an access violation, a stack overflow, an
// abort through a fail-fast).
constexpr DWORD kFirstExceptionCode = 0xC0000000;

bool needsQuotes(const QString& argument)
{
    return argument.isEmpty() || std::any_of(argument.begin(), argument.end(), [](QChar c) {
               return QStringLiteral(" \t\n\v\"").contains(c);
           });
}

// One argument as the C runtime of the program splits it back out:
// backslashes count as escapes only in front of a quote, the closing one
// included.
QString quotedArgument(const QString& argument)
{
    if (!needsQuotes(argument))
        return argument;
    QString quoted = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        const int escaped = c == QLatin1Char('"') ? 2 * backslashes + 1 : backslashes;
        quoted += QString(escaped, QLatin1Char('\\')) + c;
        backslashes = 0;
    }
    return quoted + QString(2 * backslashes, QLatin1Char('\\')) + QLatin1Char('"');
}

// The program's own name is read up to the next quote, backslashes and all;
// a path holds no quotes.
std::wstring commandLine(const QString& program, const QStringList& arguments)
{
    QString line = QLatin1Char('"') + QDir::toNativeSeparators(program) + QLatin1Char('"');
    for (const QString& argument : arguments)
        line += QLatin1Char(' ') + quotedArgument(argument);
    return line.toStdWString();
}

// ShellExecuteEx takes the program apart from its arguments.
std::wstring parameterLine(const QStringList& arguments)
{
    QStringList quoted;
    for (const QString& argument : arguments)
        quoted.append(quotedArgument(argument));
    return quoted.join(QLatin1Char(' ')).toStdWString();
}

QString& elevationVerb()
{
    static QString verb = QStringLiteral("runas");
    return verb;
}

} // namespace

QString WatchedProcess::crashName(qint64 code)
{
    return QStringLiteral("exception 0x") + QString::number(code, 16).toUpper();
}

WatchedProcess::~WatchedProcess()
{
    release();
}

// Closing the handle leaves the program running.
void WatchedProcess::release()
{
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    m_handle = -1;
}

bool WatchedProcess::start(const QString& program, const QStringList& arguments, QString& reason)
{
    release();
    m_end = End();
    std::wstring line = commandLine(program, arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(nativePath(program).c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &started)) {
        reason = program + QStringLiteral(": ") + qt_error_string(int(GetLastError()));
        return false;
    }
    CloseHandle(started.hThread);
    m_handle = reinterpret_cast<qintptr>(started.hProcess);
    return true;
}

// ShellExecuteEx with the verb "runas" shows the UAC prompt.
void setElevationVerb(const QString& verb)
{
    elevationVerb() = verb;
}

Elevation WatchedProcess::startElevated(const QString& program, const QStringList& arguments,
                                        QString& reason)
{
    release();
    m_end = End();
    const std::wstring verb = elevationVerb().toStdWString();
    const std::wstring file = QDir::toNativeSeparators(program).toStdWString();
    const std::wstring parameters = parameterLine(arguments);
    const std::wstring folder =
        QDir::toNativeSeparators(QFileInfo(program).absolutePath()).toStdWString();
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = verb.c_str();
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    // "cancel" plays the prompt's refusal exactly as ShellExecuteEx reports it.
    const bool played = elevationVerb() == QLatin1String("cancel");
    if (played)
        SetLastError(ERROR_CANCELLED);
    const bool started = !played && ShellExecuteExW(&info);
    if (started && info.hProcess) {
        m_handle = reinterpret_cast<qintptr>(info.hProcess);
        return Elevation::Started;
    }
    const DWORD error = started ? ERROR_INVALID_HANDLE : GetLastError();
    reason = program + QStringLiteral(": ") + qt_error_string(int(error));
    return error == ERROR_CANCELLED ? Elevation::Refused : Elevation::Failed;
}

bool endedAsRefusal(const WatchedProcess::End&)
{
    return false;
}

WatchedProcess::End WatchedProcess::wait(int milliseconds)
{
    const HANDLE process = reinterpret_cast<HANDLE>(m_handle);
    DWORD code = 0;
    if (m_handle == -1 || WaitForSingleObject(process, DWORD(milliseconds)) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code))
        return m_end;
    m_end = {code >= kFirstExceptionCode ? End::Kind::Crashed : End::Kind::Exited, qint64(code)};
    release();
    return m_end;
}

namespace {

// The owner, group and access list of `file` in one self-relative
// descriptor; empty when they cannot be read.
std::vector<BYTE> securityOf(const QString& file)
{
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    GetFileSecurityW(nativePath(file).c_str(), parts, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 ||
        !GetFileSecurityW(nativePath(file).c_str(), parts, descriptor.data(), size, &size))
        descriptor.clear();
    return descriptor;
}

// The access list as it stands, inherited entries included, and the owner
// where the process may set it: handing a file to another owner takes the
// restore privilege, and without it the file stays the process's own.
bool takeSecurity(const QString& file, std::vector<BYTE>& security)
{
    if (!SetFileSecurityW(nativePath(file).c_str(), DACL_SECURITY_INFORMATION, security.data()))
        return false;
    SetFileSecurityW(nativePath(file).c_str(),
                     OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, security.data());
    return true;
}

// Copies beside `newFile` and renames the copy over it, so that a copy that
// fails leaves the target as it was. CopyFileW gives the copy the source's
// attributes and time of the last write; made in the target's folder, it
// inherits that folder's access list unless `security` replaces it.
bool placeCopy(const QString& existingFile, const QString& newFile, std::vector<BYTE>& security)
{
    const QString partial = newFile + QLatin1String(layout::kPartSuffix);
    const bool placed =
        CopyFileW(nativePath(existingFile).c_str(), nativePath(partial).c_str(), FALSE) &&
        (security.empty() || takeSecurity(partial, security)) &&
        MoveFileExW(nativePath(partial).c_str(), nativePath(newFile).c_str(),
                    MOVEFILE_REPLACE_EXISTING);
    if (!placed) {
        const DWORD error = GetLastError();
        DeleteFileW(nativePath(partial).c_str());
        SetLastError(error);
    }
    return placed;
}

// A link's stand-in: a link to the same place. CopyFileExW copies a
// symbolic link as a link when asked; a junction it cannot copy, and that
// backup fails.
bool placeLinkCopy(const QString& link, const QString& newFile)
{
    const QString partial = newFile + QLatin1String(layout::kPartSuffix);
    const bool placed = CopyFileExW(nativePath(link).c_str(), nativePath(partial).c_str(), nullptr,
                                    nullptr, nullptr, COPY_FILE_COPY_SYMLINK) &&
                        MoveFileExW(nativePath(partial).c_str(), nativePath(newFile).c_str(),
                                    MOVEFILE_REPLACE_EXISTING);
    if (!placed)
        removeLink(partial);
    return placed;
}

FileMove moved(FileMove::Way way)
{
    return {way, QString()};
}

// True when another program has `path` open and lets nobody write or remove
// it: open without delete sharing, or mapped as a running program's image.
bool heldOpen(const QString& path)
{
    const HANDLE handle =
        CreateFileW(nativePath(path).c_str(), DELETE | FILE_WRITE_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
}

// Whether `error` refused a move because another program holds a file. The
// file moved gives a sharing or lock violation; a rename over a
// `destination` that is held gives "access denied", as a file that may not
// be written does, and only a probe of it tells the two apart.
bool isHold(DWORD error, const QString& destination)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return true;
    case ERROR_ACCESS_DENIED:
        return !destination.isEmpty() && heldOpen(destination);
    default:
        return false;
    }
}

FileMove failedMove(const char* step, DWORD error, const QString& destination = QString())
{
    return {isHold(error, destination) ? FileMove::Way::Held : FileMove::Way::Failed,
            QLatin1String(step) + QStringLiteral(": ") + qt_error_string(int(error))};
}

// Empty explicit entries, unprotected: the file takes what its folder hands
// down, as a file made there would. The error, or ERROR_SUCCESS.
DWORD inheritFolderSecurity(const QString& file)
{
    ACL empty;
    if (!InitializeAcl(&empty, sizeof(empty), ACL_REVISION))
        return GetLastError();
    std::wstring path = nativePath(file);
    return SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, &empty, nullptr);
}

// A rename keeps the access list the file got where it was unpacked; a new
// file takes that of its new folder instead, or goes back to where it came
// from, so that a failure leaves the target as it was.
FileMove settleNewFile(const QString& unpackedFile, const QString& target)
{
    const DWORD error = inheritFolderSecurity(target);
    if (error == ERROR_SUCCESS)
        return moved(FileMove::Way::Renamed);
    MoveFileExW(nativePath(target).c_str(), nativePath(unpackedFile).c_str(), 0);
    return failedMove("access list", error);
}

} // namespace

FileMove setAside(const QString& installedFile, const QString& backupFile)
{
    if (MoveFileExW(nativePath(installedFile).c_str(), nativePath(backupFile).c_str(),
                    MOVEFILE_REPLACE_EXISTING))
        return moved(FileMove::Way::Renamed);
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_SAME_DEVICE)
        return failedMove("rename", error, backupFile);
    return copyFileExactly(installedFile, backupFile)
               ? moved(FileMove::Way::Copied)
               : failedMove("copy", GetLastError(), backupFile);
}

FileMove moveIntoPlace(const QString& unpackedFile, const QString& target,
                       const QString& replacedFile)
{
    // A replaced file passes its owner and access list on, as to a copy. A
    // link passes on nothing, least of all those of what it points to: in
    // its place the file takes its folder's, as a new one.
    std::vector<BYTE> security;
    if (!replacedFile.isEmpty() && !isLink(replacedFile)) {
        security = securityOf(replacedFile);
        if (security.empty() || !takeSecurity(unpackedFile, security))
            return failedMove("security", GetLastError());
    }
    if (MoveFileExW(nativePath(unpackedFile).c_str(), nativePath(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING))
        return security.empty() ? settleNewFile(unpackedFile, target)
                                : moved(FileMove::Way::Renamed);
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_SAME_DEVICE)
        return failedMove("rename", error, target);
    return placeCopy(unpackedFile, target, security) ? moved(FileMove::Way::Copied)
                                                     : failedMove("copy", GetLastError(), target);
}

bool copyFileOver(const QString& existingFile, const QString& newFile)
{
    // A new file inherits its folder's access list, like every file the
    // user makes there; a file it replaces passes on its own, a link not
    // even that.
    std::vector<BYTE> security;
    if (GetFileAttributesW(nativePath(newFile).c_str()) != INVALID_FILE_ATTRIBUTES &&
        !isLink(newFile)) {
        security = securityOf(newFile);
        if (security.empty())
            return false;
    }
    return placeCopy(existingFile, newFile, security);
}

bool copyFileExactly(const QString& existingFile, const QString& newFile)
{
    // GetFileSecurityW would read what a link points to.
    if (isLink(existingFile))
        return placeLinkCopy(existingFile, newFile);
    std::vector<BYTE> security = securityOf(existingFile);
    return !security.empty() && placeCopy(existingFile, newFile, security);
}

FileMove moveFileOver(const QString& existingFile, const QString& newFile)
{
    // A rename keeps the file's own owner, access list and attributes.
    if (MoveFileExW(nativePath(existingFile).c_str(), nativePath(newFile).c_str(),
                    MOVEFILE_REPLACE_EXISTING))
        return moved(FileMove::Way::Renamed);
    const DWORD error = GetLastError();
    if (error != ERROR_NOT_SAME_DEVICE)
        return failedMove("rename", error, newFile);
    // No rename crosses volumes; an exact copy stands in for one there.
    if (!copyFileExactly(existingFile, newFile))
        return failedMove("copy", GetLastError(), newFile);
    return DeleteFileW(nativePath(existingFile).c_str()) ? moved(FileMove::Way::Copied)
                                                         : failedMove("remove", GetLastError());
}

namespace {

// Every process the session's files are registered for, as the Restart
// Manager lists them; it may list more than it was first asked room for.
std::vector<RM_PROCESS_INFO> listedProcesses(DWORD session)
{
    std::vector<RM_PROCESS_INFO> processes;
    UINT needed = 0;
    UINT count = 0;
    DWORD reasons = 0;
    DWORD error = RmGetList(session, &needed, &count, nullptr, &reasons);
    while (error == ERROR_MORE_DATA) {
        processes.resize(needed);
        count = needed;
        error = RmGetList(session, &needed, &count, processes.data(), &reasons);
    }
    processes.resize(error == ERROR_SUCCESS ? count : 0);
    return processes;
}

} // namespace

QStringList processesHolding(const QStringList& files)
{
    QStringList holders;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return holders;
    std::vector<std::wstring> paths;
    for (const QString& file : files) {
        if (existsItself(file))
            paths.push_back(nativePath(QFileInfo(file).absoluteFilePath()));
    }
    std::vector<LPCWSTR> names;
    for (const std::wstring& path : paths)
        names.push_back(path.c_str());
    std::vector<RM_PROCESS_INFO> processes;
    if (RmRegisterResources(session, UINT(names.size()), names.data(), 0, nullptr, 0, nullptr) ==
        ERROR_SUCCESS)
        processes = listedProcesses(session);
    RmEndSession(session);
    const DWORD self = GetCurrentProcessId();
    for (const RM_PROCESS_INFO& process : processes) {
        if (process.Process.dwProcessId != self)
            holders.append(QStringLiteral("%1 (pid %2)")
                               .arg(QString::fromWCharArray(process.strAppName))
                               .arg(process.Process.dwProcessId));
    }
    return holders;
}

bool makeFolder(const QString& folder)
{
    // A new folder inherits the access list of the one it is made in.
    return CreateDirectoryW(nativePath(folder).c_str(), nullptr) != 0;
}

namespace {

DWORD attributesOf(const QString& path)
{
    return GetFileAttributesW(nativePath(path).c_str());
}

} // namespace

// Symbolic links and junctions lead elsewhere; other reparse points (files
// kept by a cloud drive, deduplicated ones) are files where they are.
bool isLink(const QString& path)
{
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(nativePath(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
           found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
}

// A link to a folder (a junction among them) is removed as a folder, which
// takes away the link alone.
bool removeLink(const QString& path)
{
    if (!isLink(path))
        return false;
    if (attributesOf(path) & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveDirectoryW(nativePath(path).c_str()) != 0;
    return DeleteFileW(nativePath(path).c_str()) != 0;
}

bool existsItself(const QString& path)
{
    return attributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

// A read-only file is set aside by a rename like any other, and its backup
// is removed as readily; what keeps a file from being replaced here is a
// process that holds it open, which only the attempt can tell.
bool mayReplace(const QString&, QString&)
{
    return true;
}

// Access lists say little about a folder before a file is made there
// (inherited and denied entries, rights granted through groups), and the
// read-only attribute of a folder nothing at all. The probe is deleted when
// its handle closes, so it is gone however this process ends; it is made
// as the name itself, never through a link planted there.
bool takesNewFiles(const QString& folder, QString& reason)
{
    const QString probe = folder + QLatin1Char('/') + QLatin1String(layout::kWriteProbe);
    const HANDLE handle = CreateFileW(
        nativePath(probe).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = folder + QStringLiteral(": ") + qt_error_string(int(GetLastError()));
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool flushToDisk(const QString&, const QStringList& files)
{
    bool flushed = true;
    for (const QString& file : files) {
        // A link is opened itself: what it points to is none of ours.
        const HANDLE handle = CreateFileW(
            nativePath(file).c_str(), GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        // A file that cannot be opened for writing was not written by us.
        if (handle == INVALID_HANDLE_VALUE)
            continue;
        flushed = FlushFileBuffers(handle) != 0 && flushed;
        CloseHandle(handle);
    }
    return flushed;
}

bool openForAppending(QFile& file, const QString& path)
{
    // A handle with the right to append only: the system puts each write at
    // the end, wherever the handle's position is.
    const HANDLE handle = CreateFileW(nativePath(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND);
    if (descriptor == -1) {
        CloseHandle(handle);
        return false;
    }
    if (file.open(descriptor, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text,
                  QFileDevice::AutoCloseHandle))
        return true;
    _close(descriptor);
    return false;
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

bool containsEchoReply(const QByteArray& output)
{
    return output.contains("TTL=");
}

void releaseStaleSharedMemory(const QString&)
{
    // Windows destroys a named section with its last handle.
}

} // namespace platform
