#include "update/LaunchSequence.h"

#include "health/WatchedInstallation.h"
#include "install/InstallRecovery.h"
#include "layout/InstallationLayout.h"
#include "update/LaunchArguments.h"
#include "update/Update.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>

namespace {

// Whatever a crash left half installed is put right before the installed
// version is read; without the lock, the journal may be a live
// installation's. False while a new version is being watched.
bool recoverInstallation(const LaunchArguments& arguments)
{
    if (!arguments.installationLocked)
        return true;
    const QString installation = layout::installationDir();
    const WatchedInstallation::Status watched =
        WatchedInstallation(installation).resume(QDateTime::currentDateTimeUtc());
    if (watched == WatchedInstallation::Status::Pending)
        return false;
    InstallRecovery(installation).run();
    return true;
}

} // namespace

int runLaunchSequence(const LaunchArguments& arguments)
{
    const bool recovered = recoverInstallation(arguments);
    Update window(arguments.updateMode);
    window.setInstallationLocked(arguments.installationLocked);
    window.setElevationNeeded(arguments.elevationNeeded);
    window.setLaunchArguments(arguments.softwareRoot, arguments.versionType, arguments.mainProgram,
                              arguments.language);
    if (!recovered)
        window.endDuringWatch();
    if (window.checkForUpdate())
        window.presentOffer();
    return QApplication::exec();
}
