#include "install/InstallCheckpoint.h"

namespace {

InstallCheckpointHandler g_handler = nullptr;

} // namespace

void setInstallCheckpointHandler(InstallCheckpointHandler handler)
{
    g_handler = handler;
}

void passInstallCheckpoint(const char* step)
{
    if (g_handler)
        g_handler(step);
}
