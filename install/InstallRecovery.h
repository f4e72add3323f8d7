#pragma once

#include <QString>

class InstallJournal;

// Brings an installation that a crash cut short back to one whole version:
// at every start, an unfinished installation's journal is followed backwards
// (the old version put back into config.ini, added files removed, backups
// renamed back over targets that differ from them, added folders removed,
// then the backups, the unpacked package and the journal cleared), and a
// committed one only has its update folder cleared. Every step may be
// repeated, so a recovery that is itself cut short is simply run again at
// the next start.
class InstallRecovery
{
public:
    explicit InstallRecovery(QString applicationDir);

    // True when no unfinished installation is left: there was none, its
    // journal was unusable and has been set aside, or it has been undone or
    // finished. False keeps the journal: for another attempt, or for the
    // health watch when the installation is watched.
    bool run();

private:
    QString m_applicationDir;
};
