#pragma once

struct LaunchArguments;

// Runs the update controller for one launch and returns the exit code.
int runLaunchSequence(const LaunchArguments& arguments);
