#pragma once

#include "health/WatchedInstallation.h"

#include <QString>

// The watcher, run from its copy in the work folder once an installation is
// committed: it starts the new main program and watches it for a window of
// HealthSeconds (config.ini [Update], default 60). The new version is well
// when it still runs as the window ends, ended with exit code 0 inside it
// (the user closed it), or said so itself (mode "healthy"). An abnormal end
// (a signal, a Windows exception, any other exit code) earns one more start
// in a fresh window, since one crash may be chance; a second takes the old
// version back, which is started in its place.
class HealthWatch
{
public:
    struct Result
    {
        WatchedInstallation::Status status = WatchedInstallation::Status::None;
        QString oldVersion;
        QString newVersion;
        QString reason;
    };

    static constexpr int kDefaultSeconds = 60;
    // The window configured for the installation; 0 means no watch.
    static int windowSeconds(const QString& applicationDir);

    HealthWatch(QString applicationDir, QString mainProgram, QString versionType);
    Result run();

private:
    struct Attempt;
    WatchedInstallation::Status watch(WatchedInstallation& installation, QString& reason);
    bool beginAttempt(WatchedInstallation& installation, Attempt& attempt);
    void watchWindow(WatchedInstallation& installation, Attempt& attempt);
    WatchedInstallation::Status decide(WatchedInstallation& installation, const Attempt& attempt,
                                       QString& reason);
    void startMainProgram() const;

    QString m_applicationDir;
    QString m_mainProgram;
    QString m_versionType;
    int m_seconds = kDefaultSeconds;
};
