#pragma once

#include <QString>

// What the entry point hands to the update controller.
struct LaunchArguments
{
    bool updateMode = false;
    QString softwareRoot;
    QString versionType;
    QString mainProgram;
    QString language;
};
