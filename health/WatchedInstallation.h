#pragma once

#include "install/InstallJournal.h"

#include <QDateTime>
#include <QString>

// A committed installation whose new version is being watched, and the steps
// that end the watch: the new version confirmed, or the old one given back.
// Each step is in the journal before the next begins, so the next start
// finishes whatever a crash or a power cut interrupted; the work folder goes,
// and the outcome is recorded, only once the ending is on disk.
class WatchedInstallation
{
public:
    enum class Status
    {
        None,    // no watched installation
        Pending, // a watch may still be running
        Confirmed,
        RolledBack,
        Failed, // the undo could not give everything back; the journal stays
    };

    // How long a watcher, alive, takes at most past its window's end to
    // decide; only then does a start take the watch for abandoned.
    static constexpr int kGraceSeconds = 10;

    explicit WatchedInstallation(QString applicationDir);

    // Reads the journal; false when there is none, or it is not watched.
    bool load();
    InstallJournal& journal() { return m_journal; }
    bool awaitsConfirmation() const;
    // Whether the new version's main program said it is well.
    bool confirmedByMainProgram() const;
    // Says so for it (mode "healthy"); false when nothing awaits it.
    static bool markConfirmed(const QString& applicationDir);

    // Saves the watch as it now stands, still awaiting confirmation.
    bool saveWatch();
    Status confirm(const QString& reason);
    // Gives the old version back; the caller starts it, then finishes.
    Status rollBack(const QString& reason);
    // Records the outcome and clears the work folder, once the ending is on
    // disk.
    Status finish();
    // At a start: finishes an ending that was begun, and confirms a watch
    // whose window passed without a verdict (its watcher is gone).
    Status resume(const QDateTime& now);

private:
    bool saveVerdict(InstallJournal::State state, const QString& reason);
    Status resumeAwaiting(const QDateTime& now);
    Status giveBack();

    QString m_applicationDir;
    InstallJournal m_journal;
};
