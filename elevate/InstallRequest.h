#pragma once

#include <QString>
#include <QStringList>

// What the updater hands to its elevated installation step, as the
// arguments of the mode "install":
//   install <softwareRoot> <mainProgram> <versionType> <version> <package> <release document>
// The step trusts none of it: any program of the user can start it with
// arguments of its own.
struct InstallRequest
{
    QString softwareRoot;
    QString mainProgram; // a file name in the installation, or empty
    QString versionType;
    QString version; // as the user was offered it
    QString packagePath;
    QString releasePath; // the signed release and newer roots of the offer

    QStringList toArguments() const;
    // False unless `arguments` (the process's, the program first) are a
    // request.
    static bool fromArguments(const QStringList& arguments, InstallRequest& request);
};
