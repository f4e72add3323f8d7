#include "layout/InstallationLayout.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStandardPaths>

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

QString& logFolderOverride()
{
    static QString folder;
    return folder;
}

QString plainFileName(QString name)
{
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._ -]"));
    name.replace(unsafe, QStringLiteral("_"));
    return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
               ? QStringLiteral("_")
               : name;
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

QString userFolder(const QString& softwareRoot)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QLatin1Char('/') + QLatin1String(kUserDataFolder) + QLatin1Char('/') +
           plainFileName(softwareRoot);
}

QString logFolder()
{
    const QString& folder = logFolderOverride();
    return folder.isEmpty() ? applicationPath(kLogFolder) : folder;
}

void setLogFolder(const QString& folder)
{
    logFolderOverride() = folder;
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
