#pragma once

// The few places where the updater touches the operating system directly.
// Each function has one implementation per system (platform_unix.cpp,
// platform_win.cpp); the rest of the program stays free of #ifdefs.

#include <QString>
#include <QStringList>

class QByteArray;

namespace platform {

// Executable names as the running system spells them.
QString updaterFileName();          // the updater itself
QString temporaryUpdaterFileName(); // a new updater left for the main program
QString logConsoleImageName();      // the companion log console

// Stops every process whose image name is `imageName` and waits for them.
// True when at least one process was stopped.
bool stopProcessesByImageName(const QString& imageName);

// Copies `existingFile` over `newFile`, replacing it when present.
bool copyFileOver(const QString& existingFile, const QString& newFile);

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
