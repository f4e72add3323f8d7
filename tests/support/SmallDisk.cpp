#include "support/SmallDisk.h"

#include <QProcess>
#include <QStorageInfo>

#include <unistd.h>

SmallDisk::SmallDisk(int mebibytes)
{
    const QStringList arguments{"-t",
                                "tmpfs",
                                "-o",
                                QString("size=%1m").arg(mebibytes),
                                "vaderoru-small-disk",
                                m_mountPoint.path()};
#ifdef _WIN32
    // No tmpfs on Windows: the cases that need a full disk skip themselves.
    Q_UNUSED(arguments);
#else
    m_mounted =
        ::geteuid() == 0 && m_mountPoint.isValid() && QProcess::execute("mount", arguments) == 0;
#endif
}

SmallDisk::~SmallDisk()
{
    if (m_mounted)
        QProcess::execute("umount", {m_mountPoint.path()});
}

qint64 SmallDisk::bytesFree() const
{
    return QStorageInfo(path()).bytesAvailable();
}
