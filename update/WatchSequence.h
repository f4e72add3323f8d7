#pragma once

struct LaunchArguments;

// Mode "watch": the watcher's whole run, from the first start of the new
// version to its confirmation, or to the old version back and the user told.
int runWatchSequence(const LaunchArguments& arguments);
// Mode "healthy": the new version's main program says it is well.
int runHealthyConfirmation();
// Any other start while a new version is being watched does nothing.
void logStartDuringWatch();
