#pragma once

// The fixed names of an installation's layout, relative to the application
// folder, in one place: what the updater reads, where it works and what it
// may leave behind.

#include <QString>

namespace layout {

inline constexpr char kConfigIni[] = "config.ini";
inline constexpr char kConfigFolder[] = "config";
inline constexpr char kCaBundle[] = "config/cacert.pem";
inline constexpr char kTrustFolder[] = "config/trust";
inline constexpr char kLogFolder[] = "log";
inline constexpr char kDownloadsFolder[] = "downloads";
// The updater's own: the package, the unpacked files, the backups and the
// journal of one installation. A package never writes below it.
inline constexpr char kWorkFolder[] = "downloads/update";
inline constexpr char kUnpackFolder[] = "downloads/update/temp";
inline constexpr char kBackupFolder[] = "downloads/update/backup";
inline constexpr char kJournal[] = "downloads/update/journal";
// A delta package unpacked: the patches and whole files it carries.
inline constexpr char kDeltaFolder[] = "downloads/update/delta";
// The copy of the updater that watches a new version's first minute: the
// installed updater may be replaced meanwhile, which Windows does not allow
// while it runs.
inline constexpr char kWatcherFolder[] = "downloads/update/watcher";
// Left by the new version's main program when it says it is well (mode
// "healthy"), for the watcher or, should it have gone, the next start.
inline constexpr char kConfirmedMark[] = "downloads/update/confirmed";
// How the updates of this installation ended, for the vendor: outside the
// work folder, which goes once an update has ended.
inline constexpr char kOutcomeRecord[] = "downloads/outcomes.json";
// The installation's random id, which the vendor's service places it in a
// release's rollout by; kept across updates.
inline constexpr char kInstallationId[] = "downloads/installation-id";
// Held locked by the one updater at work on the installation; outside the
// work folder, which is removed after every update.
inline constexpr char kInstanceLock[] = "downloads/update.lock";
// Beside a file being copied into place until it is renamed over it.
inline constexpr char kPartSuffix[] = ".vaderoru-part";
// Made and removed at once to learn whether a folder takes new files, where
// the file system offers no file without a name.
inline constexpr char kWriteProbe[] = ".vaderoru-probe";
// The updater as packages carry it: a Windows program, whatever system
// this one runs on.
inline constexpr char kPackagedUpdater[] = "VaDeroru.exe";
// Beside a package whose download did not finish: the bytes so far, and
// what the next attempt needs to resume it (address, validator, signed
// length and hash).
inline constexpr char kDownloadPartSuffix[] = ".part";
inline constexpr char kDownloadRecordSuffix[] = ".part.json";
// The signed release and the newer roots of an offer, beside the package it
// signs, for the elevated installation step; and the package as that step
// takes it into the installation's work folder before reading it.
inline constexpr char kReleaseDocument[] = "downloads/update/release.json";
inline constexpr char kTakenPackage[] = "downloads/update/elevated.zip";
// Below the user's local application data: the folder of one software root
// for an installation the user may not write (one for all users, below
// Program Files). It is laid out like an installation's: downloads/ with the
// work folder and the instance lock, and log/.
inline constexpr char kUserDataFolder[] = "VaDeroru";

// `applicationDir` + "/" + `relative`.
QString pathIn(const QString& applicationDir, const char* relative);
// The installation this process works on: the running updater's own folder,
// unless the process said otherwise at its start (the watcher runs from a
// copy in the work folder).
QString installationDir();
void setInstallationDir(const QString& dir);
// `relative` below installationDir().
QString applicationPath(const char* relative);
// The user's own folder for `softwareRoot` (see kUserDataFolder); a root
// that is no plain file name is spelled with "_" for what is not.
QString userFolder(const QString& softwareRoot);
// Where the log is written: installationDir()'s log folder, unless the
// process chose another one at its start.
QString logFolder();
void setLogFolder(const QString& folder);
// True when `relative` (a "/"-separated path below the application folder)
// is the work folder, lies below it, or is the instance lock.
bool isUpdaterOwnPath(const QString& relative);

} // namespace layout
