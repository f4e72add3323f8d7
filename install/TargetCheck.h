#pragma once

#include "install/PreparationResult.h"

#include <QSet>
#include <QString>

// Whether files can be put in place in an installation, asked before its
// main program is stopped: every target leads to a place inside the
// installation (no link on its way, of a file or a folder, points out of
// it), the system lets the file there be replaced, and the folder it lands
// in, or the nearest one above that exists, takes new files. Each folder is
// probed once.
class TargetCheck
{
public:
    explicit TargetCheck(const QString& applicationDir);

    PreparationResult target(const QString& path);
    // config.ini, whose rewrite commits the installation.
    PreparationResult config(const QString& path);

private:
    bool isInside(const QString& location) const;
    PreparationResult folderOf(const QString& path);

    QString m_canonicalDir;
    QSet<QString> m_probedFolders;
};
