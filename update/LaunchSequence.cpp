#include "update/LaunchSequence.h"

#include "update/LaunchArguments.h"
#include "update/Update.h"

#include <QApplication>

int runLaunchSequence(const LaunchArguments& arguments)
{
    Update window(arguments.updateMode);
    window.setLaunchArguments(arguments.softwareRoot, arguments.versionType, arguments.mainProgram,
                              arguments.language);
    if (window.checkForUpdate())
        window.show();
    return QApplication::exec();
}
