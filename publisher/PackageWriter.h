#pragma once

#include <QString>

// Packs a folder into an update package the updater unpacks: every regular
// file, under its relative '/'-separated UTF-8 name, in the byte order of the
// names, deflated, with its Unix permissions and one fixed time. The same
// tree gives the same bytes, so a package can be rebuilt and compared.
class PackageWriter
{
public:
    PackageWriter(const QString& folder, const QString& zipPath);

    // The zip replaces zipPath as a whole or not at all. False with a reason
    // when the folder holds a symbolic link or anything but files and folders.
    bool write(QString& errorText) const;

private:
    QString m_folder;
    QString m_zipPath;
};
