#pragma once

// File-system and process helpers shared by the controller, the installation
// and the download. Each reports success as a bool its callers may ignore.

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
