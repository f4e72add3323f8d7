// Holds an installation's instance lock the way a running updater does, until
// it is killed. With --with-child it first starts a copy of itself that
// outlives it, as the main program outlives the updater that started it.
// Prints "holding <child pid or 0>" once the lock is held.
//   token_holder --hold-file FILE   holds FILE open as a virus scanner does,
//                                   so that Windows lets nobody rename it
//   token_holder --load LIBRARY     runs code of LIBRARY (a copy of ZLibWrap)
//                                   loaded from its file, which stays mapped
// Both print "holding" once they hold their file, then idle.
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibrary>
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

// Qt opens files on Windows without delete sharing.
int holdFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    QTextStream(stdout) << "holding" << Qt::endl;
    idle();
    return 0;
}

// Calls into the library the whole time, so that a library file changed
// under it would fail the process.
int runLibrary(const QString& path)
{
    using Inspect = int (*)(const ushort* archive, unsigned long long* unpackedBytes);
    QLibrary library(path);
    const auto inspect = reinterpret_cast<Inspect>(library.resolve("ZWZipInspect"));
    if (!inspect)
        return 1;
    QTextStream(stdout) << "holding" << Qt::endl;
    const QString missing = path + QStringLiteral(".missing.zip");
    for (int i = 0; i < 600; ++i) {
        if (inspect(missing.utf16(), nullptr) != 0)
            return 4;
        QThread::msleep(100);
    }
    return 0;
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
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--hold-file"))
        return holdFile(arguments.at(2));
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--load"))
        return runLibrary(arguments.at(2));
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
