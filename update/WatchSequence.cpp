#include "update/WatchSequence.h"

#include "config/ConfigIni.h"
#include "fleet/InstallationId.h"
#include "health/HealthWatch.h"
#include "health/WatchedInstallation.h"
#include "layout/InstallationLayout.h"
#include "service/BaseService.h"
#include "service/OutcomeSender.h"
#include "update/LaunchArguments.h"
#include "update/Update.h"

#include <QDebug>

namespace {

// Nobody waits for the watcher any more: the new version, or the old one
// given back, is running by now.
void deliverOutcomes(const LaunchArguments& arguments)
{
    BaseService* service = BaseService::instance();
    service->setServiceContext(configuredServiceAddress(), QString(), QString(), false);
    service->setInstallationId(InstallationId::of(layout::installationDir()));
    OutcomeSender::sendPending(layout::installationDir(), arguments.softwareRoot,
                               arguments.versionType);
    service->waitForBackground(OutcomeSender::kTimeoutMs);
}

} // namespace

int runWatchSequence(const LaunchArguments& arguments)
{
    const HealthWatch::Result result =
        HealthWatch(layout::installationDir(), arguments.mainProgram, arguments.versionType).run();
    deliverOutcomes(arguments);
    if (result.status != WatchedInstallation::Status::RolledBack)
        return 0;
    Update window(false);
    window.setLaunchArguments(arguments.softwareRoot, arguments.versionType, arguments.mainProgram,
                              arguments.language);
    window.reportRollback(result.newVersion, result.oldVersion);
    return 0;
}

void logStartDuringWatch()
{
    qInfo() << QString("Update: a new version is being watched; this start does nothing");
}

int runHealthyConfirmation()
{
    const bool marked = WatchedInstallation::markConfirmed(layout::installationDir());
    qInfo() << QString("Update: %1")
                   .arg(marked ? "the main program confirms the new version"
                               : "no new version awaits confirmation");
    return 0;
}
