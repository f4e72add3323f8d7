#include "update/LaunchSequence.h"

#include "install/InstallRecovery.h"
#include "update/LaunchArguments.h"
#include "update/Update.h"

#include <QApplication>
#include <QCoreApplication>

int runLaunchSequence(const LaunchArguments& arguments)
{
    // Whatever a crash left half installed is put right before the
    // installed version is read; without the lock, the journal may be a live
    // installation's.
    if (arguments.installationLocked)
        InstallRecovery(QCoreApplication::applicationDirPath()).run();
    Update window(arguments.updateMode);
    window.setInstallationLocked(arguments.installationLocked);
    window.setLaunchArguments(arguments.softwareRoot, arguments.versionType, arguments.mainProgram,
                              arguments.language);
    if (window.checkForUpdate())
        window.presentOffer();
    return QApplication::exec();
}
