#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

class QJsonObject;

// The record of one installation, kept below the update folder from before
// the first installed file is set aside until the installation is either
// committed or given back. It names every target with its backup (or
// none, for a file the package adds), the folders the installation creates
// and both versions, so that a start after a crash can undo exactly what an
// interrupted installation did. Paths are stored relative to the application
// folder and read back only when they stay inside it.
class InstallJournal
{
public:
    enum class State
    {
        Installing,
        Complete, // committed, with no watch to follow
        // Committed; the new version's first start is being watched, and its
        // backups are kept until it is confirmed or taken back.
        AwaitingConfirmation,
        RollingBack,
        RolledBack,
        Confirmed,
    };

    // The watch over a committed installation's first start.
    struct Watch
    {
        QDateTime installedAt;
        QDateTime until;    // the end of the current window
        int attempt = 0;    // the new main program's starts so far
        QStringList ends;   // its abnormal ends so far, as "signal 6" or "exit code 3"
        qint64 serial = -1; // the signed release's, -1 when nothing was signed
        QString reason;     // why it was confirmed or taken back, once decided
    };

    struct Target
    {
        QString path;   // relative to the application folder
        QString backup; // relative to the application folder; empty for an added file
    };

    explicit InstallJournal(QString applicationDir);

    // The journal of the installation in `applicationDir`.
    static QString filePathIn(const QString& applicationDir);
    QString filePath() const;
    QString configPath() const;
    const QString& applicationDir() const { return m_applicationDir; }
    QString absolutePath(const QString& relative) const;

    void setVersions(QString oldVersion, QString newVersion);
    // Both take absolute paths; false for one outside the application folder.
    bool addTarget(const QString& target, const QString& backup);
    bool addFolder(const QString& folder);

    // Written beside, flushed and renamed over the previous journal, then
    // the rename itself is made durable: a crash leaves one whole journal.
    bool save(State state);
    // False with the reason for a journal that cannot be read or that names
    // a path outside the application folder.
    bool load(QString& error);
    // Removes the journal durably; true when it is gone.
    bool remove();

    // config.ini's version, written in place as a whole file and made durable.
    bool recordNewVersion() const;
    bool restoreOldVersion() const;
    // Clears the lock file of a config.ini writer that a crash killed.
    void releaseStaleConfigLock() const;
    // True once config.ini names the new version: the installation's commit
    // point, reached only after every file was installed and made durable.
    bool isCommitted() const;

    void setWatch(const Watch& watch) { m_watch = watch; }
    const Watch& watch() const { return m_watch; }
    // True in the states the watch and its end run through.
    bool isWatched() const;

    State state() const { return m_state; }
    QString oldVersion() const { return m_oldVersion; }
    QString newVersion() const { return m_newVersion; }
    const QVector<Target>& targets() const { return m_targets; }
    const QStringList& folders() const { return m_folders; }

private:
    QString relativeOf(const QString& absolute) const;
    QJsonObject toJson() const;
    bool fromJson(const QJsonObject& root, QString& error);
    bool writeVersion(const QString& version) const;

    QString m_applicationDir;
    State m_state = State::Installing;
    QString m_oldVersion;
    QString m_newVersion;
    QVector<Target> m_targets;
    QStringList m_folders;
    Watch m_watch;
};

// True for a relative path that cannot leave the folder it is resolved in:
// no root, no drive, no backslash, no empty, "." or ".." part.
bool isContainedRelativePath(const QString& path);
