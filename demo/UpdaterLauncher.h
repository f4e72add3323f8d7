#pragma once

#include "demo/DemoSettings.h"

#include <QString>

// Starts the updater from the demo's own folder, detached, so that it
// outlives the demo when it stops the demo to install an update.
class UpdaterLauncher
{
public:
    UpdaterLauncher(const QString& applicationDir, const DemoSettings& settings);

    // `mode` is "update" (silent unless an update is offered) or "check".
    bool start(const QString& mode, QString& errorText) const;

private:
    QString m_applicationDir;
    DemoSettings m_settings;
};
