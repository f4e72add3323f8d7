#pragma once

#include "elevate/ElevatedResult.h"
#include "elevate/InstallRequest.h"

#include <QString>
#include <QVector>

#include <memory>

class PackageInstaller;
class SignedRelease;

// The installation step that runs with administrator rights (mode
// "install"), started by the user's updater for an installation the user
// may not write. Whatever it is handed lies where any program of the user
// can write, and its arguments may come from any of them, so it trusts none
// of it: it verifies the release document itself against the root pinned in
// the installation, as the updater did (signature, expiry, target, a version
// newer than config.ini's, serial), takes the package into the
// installation's work folder, where only it can write, checking its signed
// length and SHA-256 as it copies, and installs only from that copy. It
// then does what the updater does in a writable installation: recovery of
// an earlier installation, unpacking and the checks before the stop, the
// stop of the main program, the journaled installation. It writes nothing
// outside the installation, starts no program and shows nothing.
class ElevatedStep
{
public:
    ElevatedStep(QString applicationDir, InstallRequest request);
    ~ElevatedStep();

    ElevatedResult run();

private:
    ElevatedResult install();
    bool verifyRelease(SignedRelease& release, ElevatedResult& problem) const;
    bool takePackage(const SignedRelease& release, ElevatedResult& problem) const;
    bool unpack(QVector<QString>& files, ElevatedResult& problem) const;
    bool prepare(const QVector<QString>& files, ElevatedResult& problem);
    bool namesInstalledProgram() const;
    void stopMainProgram();
    bool stopProgram(const QString& fileName) const;
    ElevatedResult finished(ElevatedResult result) const;

    QString m_applicationDir;
    InstallRequest m_request;
    std::unique_ptr<PackageInstaller> m_installer;
    bool m_mainProgramStopped = false;
};
