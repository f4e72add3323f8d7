#pragma once

#include <QString>

// Owners, users and whole file modes as POSIX has them, for the rows that
// check them. Windows has none of them: there every call fails (false, -1),
// and those rows are listed as not run under Wine (scripts/windows/suites.sh).

// Another user, whose files an installation may be.
constexpr unsigned kOtherUser = 65534;

bool runsAsRoot();
// Gives `path` itself to `user` and the group of the same number.
bool giveTo(const QString& path, unsigned user);
// Acts as `user` and the group of the same number from now on, or as root
// again; only root may switch.
bool actAs(unsigned user);
bool actAsRoot();
// The whole mode of the entry itself, set-user-ID, set-group-ID and sticky
// bits included; -1 for a link or nothing.
int modeOf(const QString& path);
bool setMode(const QString& path, int mode);
