#include "update/WatchSequence.h"

#include "health/HealthWatch.h"
#include "health/WatchedInstallation.h"
#include "layout/InstallationLayout.h"
#include "update/LaunchArguments.h"
#include "update/Update.h"

#include <QDebug>

int runWatchSequence(const LaunchArguments& arguments)
{
    const HealthWatch::Result result =
        HealthWatch(layout::installationDir(), arguments.mainProgram, arguments.versionType).run();
    if (result.status != WatchedInstallation::Status::RolledBack)
        return 0;
    Update window(false);
    window.setLaunchArguments(arguments.softwareRoot, arguments.versionType, arguments.mainProgram,
                              arguments.language);
    window.reportRollback(result.newVersion, result.oldVersion);
    return 0;
}

void logStartDuringWatch()
{
    qInfo() << QString("Update: a new version is being watched; this start does nothing");
}

int runHealthyConfirmation()
{
    const bool marked = WatchedInstallation::markConfirmed(layout::installationDir());
    qInfo() << QString("Update: %1")
                   .arg(marked ? "the main program confirms the new version"
                               : "no new version awaits confirmation");
    return 0;
}
