#include "support/InstallStop.h"

#include "install/InstallCheckpoint.h"

#include <QByteArray>
#include <QString>

#include <csignal>
#include <cstdlib>

namespace {

QByteArray g_stopStep;
int g_stopCount = 0;

void stopAtChosenStep(const char* step)
{
    if (g_stopStep == step && --g_stopCount == 0)
#ifdef SIGKILL
        std::raise(SIGKILL);
#else
        // No SIGKILL on Windows: the exit code QProcess::kill() leaves, which
        // it reports as a crash, and no clean-up on the way out.
        std::_Exit(0xf291);
#endif
}

} // namespace

void armInstallStop(const char* variable)
{
    const QString stop = qEnvironmentVariable(variable);
    if (stop.isEmpty())
        return;
    g_stopStep = stop.section(':', 0, 0).toUtf8();
    g_stopCount = stop.section(':', 1, 1).toInt();
    setInstallCheckpointHandler(stopAtChosenStep);
}
