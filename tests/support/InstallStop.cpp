#include "support/InstallStop.h"

#include "install/InstallCheckpoint.h"

#include <QByteArray>
#include <QString>

#include <csignal>

namespace {

QByteArray g_stopStep;
int g_stopCount = 0;

void stopAtChosenStep(const char* step)
{
    if (g_stopStep == step && --g_stopCount == 0)
        std::raise(SIGKILL);
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
