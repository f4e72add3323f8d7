// DemoApp: a small main application that shows how it works together with
// the updater. It starts the updater at start-up and on a button, and when
// the updater restarts it after an update, it puts the updater's own new copy
// in place first.
#include "demo/DemoSettings.h"
#include "demo/DemoWindow.h"
#include "demo/UpdaterLauncher.h"
#include "demo/UpdaterReplacement.h"

#include <QApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>

namespace {

void logLine(const QString& line)
{
    std::fprintf(stderr, "DemoApp: %s\n", qPrintable(line));
}

QString completeUpdaterReplacement(const QString& applicationDir)
{
    QString errorText;
    switch (UpdaterReplacement(applicationDir).complete(errorText)) {
    case UpdaterReplacement::Outcome::Replaced:
        logLine(QStringLiteral("the updater replaced itself"));
        return QStringLiteral("Updated. The updater replaced itself too.");
    case UpdaterReplacement::Outcome::Failed:
        logLine(errorText);
        return QStringLiteral("Updated, but the new updater is not in place: %1").arg(errorText);
    case UpdaterReplacement::Outcome::NothingPending:
        break;
    }
    return QStringLiteral("Updated.");
}

QString readNews(const QString& applicationDir)
{
    QFile file(applicationDir + QStringLiteral("/WHATSNEW.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QString applicationDir = QCoreApplication::applicationDirPath();
    const bool restarted = QCoreApplication::arguments().value(1) == QLatin1String("restart");

    // The updater has only just finished; its new copy goes in place before
    // anything could start it again.
    QString status;
    if (restarted)
        status = completeUpdaterReplacement(applicationDir);

    const DemoSettings settings = DemoSettings::read(applicationDir);
    const UpdaterLauncher launcher(applicationDir, settings);
    DemoWindow window(settings.version, launcher);
    window.setNews(readNews(applicationDir));
    window.setStatus(status);
    window.show();

    if (!restarted) {
        QString errorText;
        if (!launcher.start(QStringLiteral("update"), errorText)) {
            logLine(errorText);
            window.setStatus(errorText);
        }
    }
    return application.exec();
}
