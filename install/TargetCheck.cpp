#include "install/TargetCheck.h"

#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

using Kind = PreparationResult::Kind;

// As many links in a row as Linux follows before it gives up.
constexpr int kMostLinks = 40;

// Where `path` leads once every link on its way is followed; a part that
// does not exist yet keeps its name below the place the part above leads
// to. Empty when it cannot be told (a loop of links, a folder that cannot
// be read).
QString resolvedLocation(const QString& path, int linksLeft = kMostLinks)
{
    QString existing = QDir::cleanPath(path);
    QString rest;
    while (!platform::existsItself(existing)) {
        const QFileInfo part(existing);
        if (part.path() == existing)
            return QString();
        rest.prepend(QLatin1Char('/') + part.fileName());
        existing = part.path();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    if (!canonical.isEmpty())
        return QDir::cleanPath(canonical + rest);
    // A link that leads nowhere yet leads somewhere all the same.
    if (linksLeft == 0 || !platform::isLink(existing))
        return QString();
    return resolvedLocation(QFileInfo(existing).symLinkTarget() + rest, linksLeft - 1);
}

QString nearestFolderOf(const QString& path)
{
    QFileInfo folder(QFileInfo(path).path());
    while (!folder.isDir() && folder.path() != folder.filePath())
        folder.setFile(folder.path());
    return folder.filePath();
}

} // namespace

TargetCheck::TargetCheck(const QString& applicationDir)
    : m_canonicalDir(QFileInfo(applicationDir).canonicalFilePath())
{}

PreparationResult TargetCheck::target(const QString& path)
{
    const QString location = resolvedLocation(path);
    if (!isInside(location)) {
        const QString leadsTo = location.isEmpty() ? QString() : QStringLiteral(" -> ") + location;
        return {Kind::TargetOutsideInstallation, path,
                QStringLiteral("a target leads out of the installation: ") + path + leadsTo};
    }
    QString reason;
    if (!platform::mayReplace(path, reason))
        return {Kind::TargetNotWritable, path,
                QStringLiteral("a target cannot be replaced: ") + reason};
    return folderOf(path);
}

// Rewritten as a new file renamed over it, which Qt writes only after it
// has opened the old one for writing.
PreparationResult TargetCheck::config(const QString& path)
{
    const PreparationResult placed = target(path);
    if (!placed.ready() || !QFileInfo::exists(path))
        return placed;
    QFile file(path);
    if (file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return placed;
    return {Kind::TargetNotWritable, path,
            QStringLiteral("config.ini cannot be written: ") + path + QStringLiteral(": ") +
                file.errorString()};
}

bool TargetCheck::isInside(const QString& location) const
{
    if (m_canonicalDir.isEmpty())
        return false;
    const QString prefix = m_canonicalDir.endsWith(QLatin1Char('/'))
                               ? m_canonicalDir
                               : m_canonicalDir + QLatin1Char('/');
    return location.startsWith(prefix, platform::fileNameCaseSensitivity());
}

PreparationResult TargetCheck::folderOf(const QString& path)
{
    const QString folder = nearestFolderOf(path);
    if (m_probedFolders.contains(folder))
        return {};
    QString reason;
    if (!platform::takesNewFiles(folder, reason))
        return {Kind::TargetNotWritable, folder,
                QStringLiteral("a folder takes no new files: ") + reason};
    m_probedFolders.insert(folder);
    return {};
}
