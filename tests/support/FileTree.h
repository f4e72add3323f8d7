#pragma once

#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>

// A folder tree as the tests compare installations: path relative to the
// root ("/bin/core.so") → "folder", or "file", the mode and an MD5 of the
// content. Hidden entries count.
using FileTree = QMap<QString, QString>;

QString describeEntry(const QString& path);
// The tree below `root` without the top-level entries named in `leftOut`.
FileTree snapshotTree(const QString& root, const QStringList& leftOut = {});
// The first paths that are extra, missing or changed; empty when equal.
QString treeDifference(const FileTree& actual, const FileTree& expected);

// The whole content of a file; empty when it cannot be read.
QByteArray fileContent(const QString& path);
// "uid:gid" of a file.
QString ownerOf(const QString& path);
// Which file `path` leads to, on which file system: "device:inode", on
// Windows "volume serial:file index"; empty when it cannot be told.
QString fileIdentity(const QString& path);
// The part of a file mode the system keeps: all of it on Linux; on Windows,
// whose files have the read-only attribute alone, whether they may be written.
QFile::Permissions keptMode(QFile::Permissions mode);
