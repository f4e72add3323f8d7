#include "support/PosixAccess.h"

#ifdef Q_OS_WIN

bool runsAsRoot()
{
    return false;
}
bool giveTo(const QString&, unsigned)
{
    return false;
}
bool actAs(unsigned)
{
    return false;
}
bool actAsRoot()
{
    return false;
}
int modeOf(const QString&)
{
    return -1;
}
bool setMode(const QString&, int)
{
    return false;
}

#else

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

bool runsAsRoot()
{
    return ::geteuid() == 0;
}

bool giveTo(const QString& path, unsigned user)
{
    return ::chown(QFile::encodeName(path).constData(), uid_t(user), gid_t(user)) == 0;
}

bool actAs(unsigned user)
{
    return ::setegid(gid_t(user)) == 0 && ::seteuid(uid_t(user)) == 0;
}

bool actAsRoot()
{
    return ::seteuid(0) == 0 && ::setegid(0) == 0;
}

int modeOf(const QString& path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || S_ISLNK(status.st_mode))
        return -1;
    return int(status.st_mode & 07777);
}

bool setMode(const QString& path, int mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

#endif
