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
    // False when the installation's lock could not be taken: nothing in it
    // may then be changed, not even by crash recovery.
    bool installationLocked = true;
    // The installation takes no new file from this user: it is installed by
    // an elevated step, and this user's files go to a folder of their own.
    bool elevationNeeded = false;
};
