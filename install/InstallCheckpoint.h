#pragma once

// Named steps of the installation and of its recovery. The program itself
// sets no handler, so passing a step does nothing; the crash tests set one
// that ends the process at a chosen step.

using InstallCheckpointHandler = void (*)(const char* step);

void setInstallCheckpointHandler(InstallCheckpointHandler handler);
void passInstallCheckpoint(const char* step);
