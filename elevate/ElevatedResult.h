#pragma once

#include <QString>

// How the elevated installation step ended, as its exit code carries it back
// to the updater that asked for it: the kind, and whether the step stopped
// the main program, which that updater then starts again with the user's
// own rights.
struct ElevatedResult
{
    enum class Kind
    {
        Installed,      // the new version is in config.ini
        NotVerified,    // the release, the package or the request is not what was signed
        DamagedPackage, // it cannot be unpacked, or writes into the work folder
        Installation,   // anything else; the installation is as it was
        Refused,        // the user did not give administrator rights
        Unavailable,    // the system offers no way to ask for them
    };

    Kind kind = Kind::Installation;
    bool mainProgramStopped = false;
    QString reason; // for the log

    static ElevatedResult of(Kind kind, const QString& reason)
    {
        ElevatedResult result;
        result.kind = kind;
        result.reason = reason;
        return result;
    }
    bool installed() const { return kind == Kind::Installed; }
    int exitCode() const;
    // An end the step does not give, such as a crash, is an installation
    // failure that did not stop the main program: started twice, it would
    // run twice.
    static ElevatedResult fromExitCode(qint64 code);
};
