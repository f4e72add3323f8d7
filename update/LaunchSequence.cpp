#include "update/LaunchSequence.h"

#include "update/LaunchArguments.h"

int runLaunchSequence(const LaunchArguments&)
{
    return 0;
}
