#pragma once

#include <QString>

// Starts the watcher of a committed installation (mode "watch"): a copy of
// the running updater in the work folder, since the main program may put a
// new updater in place of the installed one during the watch, and Windows
// keeps a running program's file. The copy runs in the installation's
// folder, where it finds the libraries and plugins it needs. False with the
// reason; the caller then starts the main program itself.
bool launchWatcher(const QString& applicationDir, const QString& softwareRoot,
                   const QString& mainProgram, const QString& versionType, QString& reason);
