#pragma once

// File-system and process helpers shared by the controller, the installation
// and the download. Each reports success as a bool its callers may ignore.

#include <QByteArray>
#include <QString>
#include <string>

// Stops every process with this executable image name and waits for it.
bool killProcess(std::string imageName);
// Deletes the folder and everything below it. A link, in its place or below
// it, is removed itself and never followed. False only when it is missing.
bool removeDirectory(QString path);
// A path with a suffix is a file: its folder and the (possibly empty) file
// exist afterwards. A path without one is a folder that exists afterwards.
bool ensurePath(QString path);
// Copies a file to `target`, or into `target` when it has no suffix.
bool copyFileTo(QString source, QString target, bool overwrite, bool removeSource);
// Replaces the file at `path` with `content` in one step: a new file,
// flushed to disk, renamed over the old one. False when any step fails.
bool replaceFileContent(const QString& path, const QByteArray& content);
