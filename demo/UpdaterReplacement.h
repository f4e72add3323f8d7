#pragma once

#include <QString>

// Puts the new updater that the last update left beside the running one
// ("VaDeroru_temp", with ".exe" on Windows) in place of the old one
// ("VaDeroru"). The updater cannot overwrite its own executable while it
// runs, so this is the main program's job after it was restarted.
class UpdaterReplacement
{
public:
    enum class Outcome
    {
        NothingPending,
        Replaced,
        Failed
    };

    explicit UpdaterReplacement(const QString& applicationDir);

    QString updaterPath() const;
    QString pendingPath() const;

    // On failure both files stay as they were and `errorText` says why.
    Outcome complete(QString& errorText) const;

private:
    bool makeExecutable(QString& errorText) const;

    QString m_applicationDir;
};
