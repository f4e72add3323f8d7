#pragma once

#include "elevate/ElevatedResult.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

struct InstallRequest;
namespace platform {
class WatchedProcess;
}

// The installation of a verified package into an installation the user may
// not write (one for all users, below Program Files): only that step runs
// with administrator rights, in a process of its own. It is the installed
// updater, started in the mode "install" (see ElevatedStep): its folder is
// writable by administrators only, so neither its file nor a library beside
// it can be swapped by a program of the user before the system asks the
// user to elevate it, as a copy in a folder of the user's could be. The
// step never writes the updater's own file and ends before the main program
// starts again, so nothing needs to replace that file meanwhile.
class ElevatedInstall
{
public:
    explicit ElevatedInstall(QString applicationDir);

    // True when the installation folder takes no new file from this user:
    // the same real probe as the preparation of an installation makes.
    static bool isNeeded(const QString& applicationDir);
    // For tests: every installation is taken as one that needs elevation.
    static void setAlwaysNeeded(bool always);

    // Writes the signed `release` and the newer `roots` of the offer to the
    // request's release document, asks for the elevated step and waits for
    // its end while this process's events go on, so its window stays alive.
    ElevatedResult run(const InstallRequest& request, const QJsonValue& release,
                       const QJsonArray& roots);

private:
    ElevatedResult waitFor(platform::WatchedProcess& step) const;

    QString m_applicationDir;
};
