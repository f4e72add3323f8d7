#include "delta/DeltaTree.h"

#include "delta/DeltaManifest.h"
#include "platform/Platform.h"

#include <QDir>
#include <QDirIterator>

QMap<QString, QString> DeltaTree::files(const QString& folder)
{
    QMap<QString, QString> found;
    const QDir root(folder);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!platform::isLink(path))
            found.insert(root.relativeFilePath(path), path);
    }
    return found;
}

bool DeltaTree::resolve(const QString& folder, const QString& relative, QString& absolute)
{
    if (!DeltaManifest::isSafePath(relative))
        return false;
    QString at = QDir::cleanPath(folder);
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        at += QLatin1Char('/') + part;
        if (platform::isLink(at))
            return false;
    }
    absolute = at;
    return true;
}
