#include "app/EntryPoint.h"

#include "app/Language.h"
#include "log/LogHandler.h"
#include "platform/Platform.h"
#include "update/LaunchArguments.h"
#include "update/LaunchSequence.h"
#include "widgets/FontSubstitutions.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QIcon>
#include <QSharedMemory>
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

// The token is only a name held for the life of the process; nothing is
// written into it.
bool takeSingleInstanceToken(QSharedMemory& token)
{
    token.setKey(QCoreApplication::applicationName());
    platform::releaseStaleSharedMemory(token.key());
    return token.create(1, QSharedMemory::ReadWrite);
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

    QSharedMemory token;
    if (!takeSingleInstanceToken(token))
        return -1;

    LaunchArguments launch;
    if (!selectMode(arguments.at(1), launch.updateMode))
        return 0;
    launch.softwareRoot = arguments.at(2);
    launch.mainProgram = arguments.at(3);
    launch.versionType = arguments.value(4, QStringLiteral("general"));
    launch.language = language;
    return runLaunchSequence(launch);
}
