#pragma once

// Lets a test end the process at a chosen step of the installation, the way
// a power cut or the task manager would: the environment variable
// `variable` holds "<step>:<n>", and the n-th pass of that step raises
// SIGKILL. Without the variable nothing changes.
void armInstallStop(const char* variable);
