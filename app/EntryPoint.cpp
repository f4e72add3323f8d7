#include "app/EntryPoint.h"

#include "app/Language.h"
#include "elevate/ElevatedInstall.h"
#include "elevate/ElevatedStep.h"
#include "health/WatchedInstallation.h"
#include "layout/InstallationLayout.h"
#include "log/LogHandler.h"
#include "platform/Platform.h"
#include "update/LaunchArguments.h"
#include "update/LaunchSequence.h"
#include "update/WatchSequence.h"
#include "widgets/FontSubstitutions.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QIcon>
#include <QStringList>
#include <QTextCodec>

namespace {

constexpr int kRequiredArguments = 4;
// watch <softwareRoot> <mainProgram> <versionType> <installation folder>
constexpr int kWatchArguments = 5;

void prepareApplication(QApplication& application)
{
    application.setWindowIcon(QIcon(QStringLiteral(":/resources/icon/icon_logo.png")));
    installFontSubstitutions();
    QFont font = QApplication::font();
    font.setStyleStrategy(QFont::PreferAntialias);
    QApplication::setFont(font);
}

void startLogging()
{
    LogHandler* handler = LogHandler::instance();
    handler->m_writeFile = true;
    handler->start();
}

void logArguments(const QStringList& arguments)
{
    QString joined;
    for (const QString& argument : arguments)
        joined += argument + QLatin1Char(',');
    qInfo() << QStringLiteral("Update arg: %1").arg(joined);
}

// The watcher runs from a copy in the work folder, and is told where the
// installation is; every path it uses is below that.
void useInstallationOf(const QStringList& arguments)
{
    if (arguments.value(1) == QLatin1String("watch") && arguments.size() > kWatchArguments)
        layout::setInstallationDir(arguments.at(kWatchArguments));
}

// An installation the user may not write (one for all users) is installed
// by an elevated step; the user's updater logs, downloads and takes its lock
// in a folder of the user's own.
bool useUserFolderUnlessWritable(const QStringList& arguments)
{
    if (arguments.size() < kRequiredArguments ||
        !ElevatedInstall::isNeeded(layout::installationDir()))
        return false;
    layout::setLogFolder(layout::pathIn(layout::userFolder(arguments.at(2)), layout::kLogFolder));
    return true;
}

// One updater at a time works on an installation; false when another one
// does. An updater that cannot take the lock at all (a read-only
// installation) goes on, but must leave the installation alone. The user's
// updaters of an installation that needs elevation take turns on a lock in
// the user's folder; the elevated step takes the installation's.
bool takeInstanceLock(platform::InstanceLock& lock, const LaunchArguments& launch,
                      bool& installationLocked)
{
    using State = platform::InstanceLock::State;
    const platform::InstanceLock::Outcome outcome = lock.acquire(
        launch.elevationNeeded
            ? layout::pathIn(layout::userFolder(launch.softwareRoot), layout::kInstanceLock)
            : layout::applicationPath(layout::kInstanceLock));
    installationLocked = outcome.state == State::Held && !launch.elevationNeeded;
    if (outcome.state == State::HeldByAnother)
        qInfo() << QStringLiteral("Another updater is at work: %1").arg(outcome.reason);
    if (outcome.state == State::Unavailable)
        qInfo() << QStringLiteral("Installation not locked, it stays untouched: %1")
                       .arg(outcome.reason);
    return outcome.state != State::HeldByAnother;
}

// -1, unless the lock's holder is the watcher of a new version: the new
// main program starts the updater as it always does, and that start is no
// failure.
int anotherUpdaterAtWork()
{
    WatchedInstallation watched(layout::installationDir());
    if (!watched.load())
        return -1;
    logStartDuringWatch();
    return 0;
}

bool selectMode(const QString& mode, bool& updateMode)
{
    if (mode.contains(QLatin1String("check"))) {
        updateMode = false;
        return true;
    }
    if (mode.contains(QLatin1String("update"))) {
        updateMode = true;
        return true;
    }
    return false;
}

// The installation step with administrator rights: without a window, as
// pkexec passes no display on; it logs into the installation.
int runElevatedStep(int& argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    startLogging();
    const QStringList arguments = QCoreApplication::arguments();
    logArguments(arguments);
    InstallRequest request;
    if (!InstallRequest::fromArguments(arguments, request))
        return ElevatedResult::of(ElevatedResult::Kind::NotVerified, QString()).exitCode();
    return ElevatedStep(layout::installationDir(), request).run().exitCode();
}

} // namespace

int runUpdater(int& argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "install") == 0)
        return runElevatedStep(argc, argv);
    QApplication application(argc, argv);
    useInstallationOf(QCoreApplication::arguments());
    prepareApplication(application);
    const QString language = chooseLanguage();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    const bool elevationNeeded = useUserFolderUnlessWritable(QCoreApplication::arguments());
    startLogging();

    const QStringList arguments = QCoreApplication::arguments();
    logArguments(arguments);
    if (arguments.size() < kRequiredArguments)
        return 0;

    LaunchArguments launch;
    launch.softwareRoot = arguments.at(2);
    launch.mainProgram = arguments.at(3);
    launch.versionType = arguments.value(4, QStringLiteral("general"));
    launch.language = language;
    launch.elevationNeeded = elevationNeeded;
    // Neither takes the lock for its whole run: the watcher holds it only to
    // change the journal, and a confirmation leaves the watcher a mark.
    if (arguments.at(1) == QLatin1String("watch"))
        return runWatchSequence(launch);
    if (arguments.at(1) == QLatin1String("healthy"))
        return runHealthyConfirmation();

    // Kept to the end of the run; should the process die first, the system
    // drops it.
    platform::InstanceLock instanceLock;
    if (!takeInstanceLock(instanceLock, launch, launch.installationLocked))
        return anotherUpdaterAtWork();
    if (!selectMode(arguments.at(1), launch.updateMode))
        return 0;
    return runLaunchSequence(launch);
}
