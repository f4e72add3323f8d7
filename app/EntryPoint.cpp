#include "app/EntryPoint.h"

#include "app/Language.h"
#include "layout/InstallationLayout.h"
#include "log/LogHandler.h"
#include "platform/Platform.h"
#include "update/LaunchArguments.h"
#include "update/LaunchSequence.h"
#include "widgets/FontSubstitutions.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QIcon>
#include <QStringList>
#include <QTextCodec>

namespace {

constexpr int kRequiredArguments = 4;

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
    prepareApplication(application);
    const QString language = chooseLanguage();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("utf-8"));
    startLogging();

    const QStringList arguments = QCoreApplication::arguments();
    logArguments(arguments);
    if (arguments.size() < kRequiredArguments)
        return 0;

    // Kept to the end of the run; should the process die first, the system
    // drops it.
    platform::InstanceLock instanceLock;
    LaunchArguments launch;
    if (!takeInstanceLock(instanceLock, launch.installationLocked))
        return -1;

    if (!selectMode(arguments.at(1), launch.updateMode))
        return 0;
    launch.softwareRoot = arguments.at(2);
    launch.mainProgram = arguments.at(3);
    launch.versionType = arguments.value(4, QStringLiteral("general"));
    launch.language = language;
    return runLaunchSequence(launch);
}
