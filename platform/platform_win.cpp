#include "platform/Platform.h"

#include "install/InstallationLayout.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QList>

#include <string>
#include <vector>

#include <windows.h>

#include <aclapi.h>
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
    if (!placed)
        DeleteFileW(nativePath(partial).c_str());
    return placed;
}

FileMove moved(FileMove::Way way)
{
    return {way, QString()};
}

FileMove failedMove(const char* step, DWORD error)
{
    return {FileMove::Way::Failed,
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
        return failedMove("rename", error);
    return copyFileExactly(installedFile, backupFile) ? moved(FileMove::Way::Copied)
                                                      : failedMove("copy", GetLastError());
}

FileMove moveIntoPlace(const QString& unpackedFile, const QString& target,
                       const QString& replacedFile)
{
    // A replaced file passes its owner and access list on, as to a copy.
    std::vector<BYTE> security;
    if (!replacedFile.isEmpty()) {
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
        return failedMove("rename", error);
    return placeCopy(unpackedFile, target, security) ? moved(FileMove::Way::Copied)
                                                     : failedMove("copy", GetLastError());
}

bool copyFileOver(const QString& existingFile, const QString& newFile)
{
    // A new file inherits its folder's access list, like every file the
    // user makes there; a file it replaces passes on its own.
    std::vector<BYTE> security;
    if (GetFileAttributesW(nativePath(newFile).c_str()) != INVALID_FILE_ATTRIBUTES) {
        security = securityOf(newFile);
        if (security.empty())
            return false;
    }
    return placeCopy(existingFile, newFile, security);
}

bool copyFileExactly(const QString& existingFile, const QString& newFile)
{
    std::vector<BYTE> security = securityOf(existingFile);
    return !security.empty() && placeCopy(existingFile, newFile, security);
}

bool moveFileOver(const QString& existingFile, const QString& newFile)
{
    // A rename keeps the file's own owner, access list and attributes.
    if (MoveFileExW(nativePath(existingFile).c_str(), nativePath(newFile).c_str(),
                    MOVEFILE_REPLACE_EXISTING))
        return true;
    // No rename crosses volumes; an exact copy stands in for one there.
    return GetLastError() == ERROR_NOT_SAME_DEVICE && copyFileExactly(existingFile, newFile) &&
           DeleteFileW(nativePath(existingFile).c_str()) != 0;
}

bool makeFolder(const QString& folder)
{
    // A new folder inherits the access list of the one it is made in.
    return CreateDirectoryW(nativePath(folder).c_str(), nullptr) != 0;
}

bool flushToDisk(const QString&, const QStringList& files)
{
    bool flushed = true;
    for (const QString& file : files) {
        const HANDLE handle = CreateFileW(nativePath(file).c_str(), GENERIC_WRITE,
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

bool containsEchoReply(const QByteArray& output)
{
    return output.contains("TTL=");
}

void releaseStaleSharedMemory(const QString&)
{
    // Windows destroys a named section with its last handle.
}

} // namespace platform
