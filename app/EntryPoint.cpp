#include "app/EntryPoint.h"

#include "app/Language.h"
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

// One updater at a time works on an installation; false when another one
// does. An updater that cannot take the lock at all (a read-only
// installation) goes on, but must leave the installation alone.
bool takeInstanceLock(platform::InstanceLock& lock, bool& installationLocked)
{
    using State = platform::InstanceLock::State;
    const platform::InstanceLock::Outcome outcome =
        lock.acquire(layout::applicationPath(layout::kInstanceLock));
    installationLocked = outcome.state == State::Held;
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

} // namespace

int runUpdater(int& argc, char** argv)
{
    QApplication application(argc, argv);
    useInstallationOf(QCoreApplication::arguments());
    prepareApplication(application);
    const QString language = chooseLanguage();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
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
    // Neither takes the lock for its whole run: the watcher holds it only to
    // change the journal, and a confirmation leaves the watcher a mark.
    if (arguments.at(1) == QLatin1String("watch"))
        return runWatchSequence(launch);
    if (arguments.at(1) == QLatin1String("healthy"))
        return runHealthyConfirmation();

    // Kept to the end of the run; should the process die first, the system
    // drops it.
    platform::InstanceLock instanceLock;
    if (!takeInstanceLock(instanceLock, launch.installationLocked))
        return anotherUpdaterAtWork();
    if (!selectMode(arguments.at(1), launch.updateMode))
        return 0;
    return runLaunchSequence(launch);
}
