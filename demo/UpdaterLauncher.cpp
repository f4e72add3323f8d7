#include "demo/UpdaterLauncher.h"

#include "demo/UpdaterReplacement.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

UpdaterLauncher::UpdaterLauncher(const QString& applicationDir, const DemoSettings& settings)
    : m_applicationDir(applicationDir), m_settings(settings)
{}

bool UpdaterLauncher::start(const QString& mode, QString& errorText) const
{
    const QString updater = UpdaterReplacement(m_applicationDir).updaterPath();
    // The updater starts us again by this name, relative to its own folder.
    const QString mainProgram = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QStringList arguments{mode, m_settings.softwareRoot, mainProgram, m_settings.versionType};
    if (QProcess::startDetached(updater, arguments, m_applicationDir))
        return true;
    errorText = QStringLiteral("cannot start %1").arg(updater);
    return false;
}
