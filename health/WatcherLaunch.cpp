#include "health/WatcherLaunch.h"

#include "install/WorkFolder.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

bool copyUpdater(const QString& applicationDir, QString& copy, QString& reason)
{
    const WorkFolder work(applicationDir);
    if (!work.makeWatcherFolder(reason))
        return false;
    copy = work.watcherFolder() + QLatin1Char('/') + platform::updaterFileName();
    if (QFile::copy(QCoreApplication::applicationFilePath(), copy))
        return true;
    reason = QStringLiteral("the updater cannot be copied to ") + work.watcherFolder();
    return false;
}

QProcessEnvironment watcherEnvironment(const QString& applicationDir)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), QDir::toNativeSeparators(applicationDir));
    const QString path = environment.value(QStringLiteral("PATH"));
    environment.insert(QStringLiteral("PATH"),
                       QDir::toNativeSeparators(applicationDir) + QDir::listSeparator() + path);
    return environment;
}

} // namespace

bool launchWatcher(const QString& applicationDir, const QString& softwareRoot,
                   const QString& mainProgram, const QString& versionType, QString& reason)
{
    QString copy;
    if (!copyUpdater(applicationDir, copy, reason))
        return false;
    QProcess watcher;
    watcher.setProgram(copy);
    watcher.setArguments(
        {QStringLiteral("watch"), softwareRoot, mainProgram, versionType, applicationDir});
    watcher.setWorkingDirectory(applicationDir);
    watcher.setProcessEnvironment(watcherEnvironment(applicationDir));
    // It outlives the updater that starts it, and so whatever read that
    // one's output: it, and the programs it starts, write nowhere but the log.
    watcher.setStandardInputFile(QProcess::nullDevice());
    watcher.setStandardOutputFile(QProcess::nullDevice());
    watcher.setStandardErrorFile(QProcess::nullDevice());
    if (watcher.startDetached())
        return true;
    reason = QStringLiteral("the watcher cannot be started: ") + watcher.errorString();
    return false;
}
