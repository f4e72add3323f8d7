#pragma once

#include <QString>
#include <QTemporaryDir>

// A tmpfs of a few MiB, mounted for one test and unmounted when it goes out
// of scope: a disk that really fills up. Only root may mount one.
class SmallDisk
{
public:
    explicit SmallDisk(int mebibytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool isMounted() const { return m_mounted; }
    QString path() const { return m_mountPoint.path(); }
    qint64 bytesFree() const;

private:
    QTemporaryDir m_mountPoint;
    bool m_mounted = false;
};
