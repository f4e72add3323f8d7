#pragma once

#include <QString>

// The updater's work folder (downloads/update) and the folders below it,
// made as real folders. Someone who may write into the installation could
// put a link in the place of one; followed, it would send what the updater
// unpacks, sets aside and later clears to wherever it points.
class WorkFolder
{
public:
    explicit WorkFolder(QString applicationDir);

    // Makes `relative`, the work folder or one of the layout's folders below
    // it, and every work folder on the way. A link in the place of one is
    // removed, never followed. False with the reason when a folder cannot be
    // made, or is still no real folder afterwards.
    bool make(const char* relative, QString& reason) const;

private:
    bool makeReal(const QString& folder, QString& reason) const;

    QString m_applicationDir;
};
