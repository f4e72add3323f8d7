#include "support/FileTree.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

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
