#include "config/FileUtils.h"

#include "platform/Platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

bool hasSuffix(const QString& path)
{
    return !QFileInfo(path).suffix().isEmpty();
}

constexpr QDir::Filters kAllEntries =
    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

bool removeFile(const QString& path)
{
    if (QFile::remove(path))
        return true;
    // A read-only file cannot be deleted on Windows.
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteUser);
    return QFile::remove(path);
}

// Deletes depth first and goes on past entries that cannot be deleted (a
// locked file), so one of them does not keep everything else on disk. A link
// goes as a link: what it points to may lie anywhere and is none of ours.
void removeContents(const QDir& folder)
{
    const QFileInfoList entries = folder.entryInfoList(kAllEntries, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString path = entry.absoluteFilePath();
        if (platform::isLink(path)) {
            platform::removeLink(path);
        } else if (entry.isDir()) {
            removeContents(QDir(path));
            folder.rmdir(entry.fileName());
        } else {
            removeFile(path);
        }
    }
}

} // namespace

bool killProcess(std::string imageName)
{
    return platform::stopProcessesByImageName(QString::fromStdString(imageName));
}

bool removeDirectory(QString path)
{
    if (platform::isLink(path))
        return platform::removeLink(path);
    QDir root(path);
    if (!root.exists())
        return false;
    removeContents(root);
    QDir().rmdir(root.absolutePath());
    return true;
}

bool ensurePath(QString path)
{
    if (!hasSuffix(path))
        return QDir(path).exists() || QDir().mkpath(path);

    bool result = true;
    const QString folder = QFileInfo(path).path();
    if (!QDir(folder).exists())
        result = QDir().mkpath(folder);
    QFile file(path);
    if (!file.exists()) {
        if (!file.open(QIODevice::WriteOnly)) {
            qInfo() << file.errorString();
            return false;
        }
        file.close();
    }
    return result;
}

bool copyFileTo(QString source, QString target, bool overwrite, bool removeSource)
{
    target.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (source == target)
        return true;
    if (!QFile::exists(source))
        return false;
    ensurePath(target);
    const QString destination =
        hasSuffix(target) ? target : target + QLatin1Char('/') + QFileInfo(source).fileName();
    if (QFile::exists(destination) && overwrite)
        QFile::remove(destination);
    const bool copied = QFile::copy(source, destination);
    if (removeSource)
        QFile::remove(source);
    return copied;
}

bool replaceFileContent(const QString& path, const QByteArray& content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
           file.commit();
}
