#pragma once

// The updater's process entry: application set-up, language, logging, the
// command-line contract, the lock that keeps one updater per installation
// and the launch sequence.
// Returns the process exit code.
int runUpdater(int& argc, char** argv);
