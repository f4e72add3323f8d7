#include "update/Update.h"

#include "elevate/ElevatedInstall.h"
#include "elevate/InstallRequest.h"
#include "install/WorkFolder.h"
#include "layout/InstallationLayout.h"
#include "trust/SignedRelease.h"
#include "update/UpdateFailure.h"

#include <QDebug>

QString Update::downloadFolder() const
{
    return m_elevationNeeded ? layout::userFolder(softwareRoot) : layout::installationDir();
}

// The package was verified as it was downloaded; the elevated step verifies
// it again, as nothing in the user's folder can be trusted with more rights.
// It stops the main program, just before the installation proper: a
// refused prompt, or a package it refuses, leave it running. Started again
// it is by this updater alone, with the user's own rights.
void Update::installElevated()
{
    // The step installs signed releases only: without a pinned root, asking
    // the user for administrator rights would be for nothing.
    if (!m_signedRelease) {
        failUpdate(UpdateFailure::of(UpdateFailure::Kind::NotVerified,
                                     "an installation that needs administrator rights is "
                                     "updated with signed releases only"));
        return;
    }
    const QString userFolder = layout::userFolder(softwareRoot);
    InstallRequest request;
    request.softwareRoot = softwareRoot;
    request.mainProgram = mainProgram;
    request.versionType = versionType;
    request.version = versionInfo.version;
    request.packagePath = packagePath;
    request.releasePath = layout::pathIn(userFolder, layout::kReleaseDocument);
    showWaitingForElevation();
    const ElevatedResult result = ElevatedInstall(layout::installationDir())
                                      .run(request, versionInfo.release, versionInfo.roots);
    m_mainProgramStopped = m_mainProgramStopped || result.mainProgramStopped;
    if (!result.installed()) {
        failUpdate(elevationFailure(result));
        return;
    }
    qInfo() << QString("Update: version %1 was installed with administrator rights")
                   .arg(versionInfo.version);
    // Taking a version back would need administrator rights again.
    reportOutcome("confirmed", QString(), "installed with administrator rights, without a watch");
    WorkFolder(userFolder).clearAll();
    restartMainProgram();
}

void Update::showWaitingForElevation()
{
    setButtonUsable(ui.pb_cancel, false);
    ui.progressBar->setRange(0, 0);
    ui.lb_download->setText(localText("Waiting for administrator rights to install the update"));
}

UpdateFailure Update::elevationFailure(const ElevatedResult& result)
{
    switch (result.kind) {
    case ElevatedResult::Kind::Refused:
        return UpdateFailure::of(UpdateFailure::Kind::ElevationRefused, result.reason);
    case ElevatedResult::Kind::Unavailable:
        return UpdateFailure::of(UpdateFailure::Kind::ElevationUnavailable, result.reason);
    case ElevatedResult::Kind::NotVerified:
        return UpdateFailure::of(UpdateFailure::Kind::NotVerified, result.reason);
    case ElevatedResult::Kind::DamagedPackage:
        return UpdateFailure::of(UpdateFailure::Kind::DamagedPackage, result.reason);
    default:
        return UpdateFailure::of(UpdateFailure::Kind::Installation, result.reason);
    }
}
