// The updater as the tests run it: the same entry point and launch sequence,
// plus a scripted user who reads the screen and presses buttons. The script
// comes from UPDATE_DRIVER_SCRIPT, steps separated by ';':
//   box            wait for a message box, report it, press Return
//   window         wait for the shown update window and report it
//   offer          wait until the window offers again (after a download)
//   progress       wait until the download has reported some progress
//   click:update   press "Update now"; click:cancel presses the second button
//   invoke:cancel  run the second button's slot even when the button is
//                  disabled, as under a forced update
// Reports go to standard output, one line each, flushed at once because most
// runs end in exit(). The watcher, a copy of this driver started in mode
// "watch", follows UPDATE_DRIVER_WATCH_SCRIPT instead and appends its reports
// to the file UPDATE_DRIVER_WATCH_REPORT: it outlives the driver's output.
// UPDATE_DRIVER_STOP=<step>:<n> kills the process at the n-th pass of the named installation step,
// as a power cut would. UPDATE_DRIVER_ELEVATION=<verb> takes the installation
// as one that needs elevation and asks for it with that verb ("open": with
// the driver's own rights; "cancel": the user says no); the elevated step, a
// driver in the mode "install", runs no script.
#include "app/EntryPoint.h"
#include "elevate/ElevatedInstall.h"
#include "platform/Platform.h"
#include "support/InstallStop.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <csignal>
#include <cstdio>

namespace {

QStringList g_steps;
FILE* g_reports = stdout;

void report(const QString& line)
{
    std::fputs(qPrintable(line + "\n"), g_reports);
    std::fflush(g_reports);
}

QWidget* visibleTopLevel(const char* className)
{
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (QWidget* widget : widgets) {
        if (widget->inherits(className) && widget->isVisible())
            return widget;
    }
    return nullptr;
}

template <typename T> T* child(QWidget* window, const char* name)
{
    return window->findChild<T*>(QString::fromLatin1(name));
}

QString buttonState(QAbstractButton* button)
{
    return QString("%1|%2|%3")
        .arg(button->text(), button->isEnabled() ? "enabled" : "disabled",
             button->cursor().shape() == Qt::ForbiddenCursor ? "forbidden" : "arrow");
}

void reportWindow(QWidget* window)
{
    report("WINDOW old=" + child<QLabel>(window, "lb_oldVersion")->text());
    report("WINDOW new=" + child<QLabel>(window, "lb_newVersion")->text());
    report("WINDOW notes=" +
           child<QPlainTextEdit>(window, "plainTextEdit")->toPlainText().replace('\n', "\\n"));
    report("WINDOW update=" + buttonState(child<QAbstractButton>(window, "pb_update")));
    report("WINDOW cancel=" + buttonState(child<QAbstractButton>(window, "pb_cancel")));
    report(QString("WINDOW bar=%1").arg(child<QWidget>(window, "barWidget")->isVisible()));
}

// The box wraps its content in font markup, and marks where a long run of
// it may break.
QString plainText(QString text)
{
    return text.remove(QRegularExpression("<[^>]*>")).remove(QChar(0x200B));
}

bool pressReturnOnBox()
{
    QWidget* box = visibleTopLevel("MessageBoxDlg");
    if (!box)
        return false;
    report("BOX status=" + child<QWidget>(box, "bgWidget")->property("STATUS").toString());
    const QList<QLabel*> labels = box->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        if (!label->text().isEmpty())
            report(QString("BOX %1=%2").arg(label->objectName(), plainText(label->text())));
    }
    QTest::keyClick(box, Qt::Key_Return);
    return true;
}

bool offering(QWidget* window)
{
    auto* update = child<QAbstractButton>(window, "pb_update");
    return !child<QWidget>(window, "barWidget")->isVisible() && update->isEnabled();
}

bool runStep(const QString& step)
{
    if (step == "box")
        return pressReturnOnBox();
    QWidget* window = visibleTopLevel("Update");
    if (!window)
        return false;
    if (step == "window" || (step == "offer" && offering(window))) {
        reportWindow(window);
        return true;
    }
    if (step == "progress")
        return child<QProgressBar>(window, "progressBar")->value() > 0;
    if (step == "invoke:cancel") {
        report("INVOKE slotCancelClick");
        QMetaObject::invokeMethod(window, "slotCancelClick", Qt::QueuedConnection);
        return true;
    }
    if (step.startsWith("click:")) {
        const QString name = step == "click:update" ? "pb_update" : "pb_cancel";
        report("CLICK " + name);
        // Queued, so the click's slot (which may run a nested loop or end
        // the process) does not run inside this timer's callback.
        QTimer::singleShot(0, child<QAbstractButton>(window, qPrintable(name)),
                           &QAbstractButton::click);
        return true;
    }
    return false;
}

void startScript()
{
    armInstallStop("UPDATE_DRIVER_STOP");
    const QString verb = qEnvironmentVariable("UPDATE_DRIVER_ELEVATION");
    if (!verb.isEmpty()) {
        ElevatedInstall::setAlwaysNeeded(true);
        platform::setElevationVerb(verb);
    }
    if (QCoreApplication::arguments().value(1) == "install")
        return;
    const bool watcher = QCoreApplication::arguments().value(1) == "watch";
    if (watcher)
        g_reports = std::fopen(qPrintable(qEnvironmentVariable("UPDATE_DRIVER_WATCH_REPORT")), "a");
    if (!g_reports)
        g_reports = stdout;
    g_steps = qEnvironmentVariable(watcher ? "UPDATE_DRIVER_WATCH_SCRIPT" : "UPDATE_DRIVER_SCRIPT")
                  .split(';', Qt::SkipEmptyParts);
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [] {
        if (!g_steps.isEmpty() && runStep(g_steps.first())) {
            report("DONE " + g_steps.takeFirst());
        }
    });
    timer->start(20);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startScript)

int main(int argc, char* argv[])
{
    return runUpdater(argc, argv);
}
