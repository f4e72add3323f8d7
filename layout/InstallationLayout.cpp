#include "layout/InstallationLayout.h"

#include <QCoreApplication>

namespace layout {

QString pathIn(const QString& applicationDir, const char* relative)
{
    return applicationDir + QLatin1Char('/') + QLatin1String(relative);
}

namespace {

QString& installationDirOverride()
{
    static QString dir;
    return dir;
}

} // namespace

QString installationDir()
{
    const QString& dir = installationDirOverride();
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

void setInstallationDir(const QString& dir)
{
    installationDirOverride() = dir;
}

QString applicationPath(const char* relative)
{
    return pathIn(installationDir(), relative);
}

bool isUpdaterOwnPath(const QString& relative)
{
    // Windows and macOS file systems ignore letter case, so a package may
    // not reach the work folder by spelling it differently either.
    QString path = relative.toCaseFolded();
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    const QString work = QLatin1String(kWorkFolder);
    return path == work || path.startsWith(work + QLatin1Char('/')) ||
           path == QLatin1String(kInstanceLock);
}

} // namespace layout
