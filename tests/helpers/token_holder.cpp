// Holds a shared-memory key the way a running updater does, until killed.
#include <QCoreApplication>
#include <QSharedMemory>
#include <QTextStream>
#include <QThread>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    if (argc < 2)
        return 2;
    QSharedMemory token(QString::fromLocal8Bit(argv[1]));
    const bool created = token.create(1, QSharedMemory::ReadWrite);
    QTextStream(stdout) << (created ? "holding" : "failed") << Qt::endl;
    if (!created)
        return 1;
    for (int i = 0; i < 600; ++i)
        QThread::msleep(100);
    return 0;
}
