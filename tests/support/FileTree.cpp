#include "support/FileTree.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

QString describeEntry(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return "folder";
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "unreadable";
    const QByteArray digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5);
    return QString("file %1 %2")
        .arg(QString::number(int(info.permissions()), 16), QString::fromLatin1(digest.toHex()));
}

FileTree snapshotTree(const QString& root, const QStringList& leftOut)
{
    FileTree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size());
        if (!leftOut.contains(relative.section('/', 1, 1)))
            tree.insert(relative, describeEntry(path));
    }
    return tree;
}

QString treeDifference(const FileTree& actual, const FileTree& expected)
{
    QStringList lines;
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << "extra " + it.key();
        else if (expected.value(it.key()) != it.value())
            lines << "changed " + it.key();
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            lines << "missing " + it.key();
    }
    return lines.mid(0, 10).join(", ");
}

QByteArray fileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString ownerOf(const QString& path)
{
    const QFileInfo info(path);
    return QString("%1:%2").arg(info.ownerId()).arg(info.groupId());
}

#ifdef Q_OS_WIN

QString fileIdentity(const QString& path)
{
    const HANDLE file = CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return QString();
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information);
    CloseHandle(file);
    if (!known)
        return QString();
    const quint64 index = quint64(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    return QString("%1:%2").arg(information.dwVolumeSerialNumber).arg(index);
}

QFile::Permissions keptMode(QFile::Permissions mode)
{
    return mode & QFile::WriteOwner;
}

#else

QString fileIdentity(const QString& path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return QString();
    return QString("%1:%2").arg(status.st_dev).arg(status.st_ino);
}

QFile::Permissions keptMode(QFile::Permissions mode)
{
    return mode;
}

#endif
