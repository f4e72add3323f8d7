// Holds an installation's instance lock the way a running updater does, until
// it is killed. With --with-child it first starts a copy of itself that
// outlives it, as the main program outlives the updater that started it.
// Prints "holding <child pid or 0>" once the lock is held.
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTextStream>
#include <QThread>

namespace {

// Bounded, so that nothing lingers when a test forgets to end it.
void idle()
{
    for (int i = 0; i < 600; ++i)
        QThread::msleep(100);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) == QLatin1String("--idle")) {
        idle();
        return 0;
    }
    if (arguments.size() < 2)
        return 2;
    QTextStream out(stdout);
    platform::InstanceLock lock;
    const platform::InstanceLock::Outcome outcome = lock.acquire(arguments.at(1));
    if (outcome.state != platform::InstanceLock::State::Held) {
        out << "failed: " << outcome.reason << Qt::endl;
        return 1;
    }
    qint64 child = 0;
    if (arguments.value(2) == QLatin1String("--with-child") &&
        !QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                 {QStringLiteral("--idle")}, QString(), &child))
        return 3;
    out << "holding " << child << Qt::endl;
    idle();
    return 0;
}
