#pragma once

#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QVector>

#include "service/VersionCheckResult.h"
#include "ui_Update.h"

#include <memory>

class PackageInstaller;
class QUrl;
class SignedRelease;
class TrustVerdict;
struct DownloadOutcome;
struct ElevatedResult;
struct UpdateFailure;

// The updater's only window and the controller of the whole update: the
// decision before anything is shown, the offer of a new version with its
// release notes, the download, the installation and the hand-back to the
// main program.
class Update : public QMainWindow
{
    Q_OBJECT

public:
    explicit Update(bool updateMode, QWidget* parent = nullptr);
    ~Update() override;

    void setLaunchArguments(QString softwareRoot, QString versionType, QString mainProgram,
                            QString language);
    // False when another process may be at work on the installation: then
    // nothing is installed.
    void setInstallationLocked(bool locked) { m_installationLocked = locked; }
    // True when the installation takes no new file from this user: the
    // package is downloaded into the user's own folder and installed by an
    // elevated step.
    void setElevationNeeded(bool needed) { m_elevationNeeded = needed; }
    // True when an update is offered; every other outcome ends the process.
    bool checkForUpdate();
    // Shows the offer; under a forced update, stops the main program once
    // the window is up.
    void presentOffer();
    void showVersionInfo();
    // Downloading (true) or offering (false).
    void setDownloadState(bool on);
    // True when the host of `serviceAddress` answered an echo request in time.
    bool pingServer(QString serviceAddress);
    // Starts the main program again and ends the process.
    [[noreturn]] void restartMainProgram();
    // While a new version is being watched, a start only says so: it is the
    // new main program's usual start, and no installation may begin.
    [[noreturn]] void endDuringWatch();
    // The watcher took `newVersion` back: `oldVersion` runs again.
    void reportRollback(const QString& newVersion, const QString& oldVersion);
    // Ends the process after an offer that was declined, or an update that
    // was cancelled or failed. The main program is started again only when
    // this updater stopped it: started twice, it would run twice.
    [[noreturn]] void endOffer();
    // The one place the updater's process ends, always with exit code 0.
    [[noreturn]] static void endProcess();

    // Installs the downloaded package over the application folder. Returns
    // only after a failed update that left the folder as it was.
    void installPackage();
    bool extractPackage(QString archivePath, QString targetFolder);
    bool collectPackageFiles(QString folder, QVector<QString>& files);

    // `key` in the current language, or `key` itself when there is no
    // translation for it.
    QString localText(QString key);

signals:
    void signalCancelUpdate();

public slots:
    void slotUpdateNowClick();
    void slotCancelClick();
    void networkReplyProgress(qint64 bytesRead, qint64 totalBytes);

protected:
    // Fills the window's own translation table; keys are the English texts.
    void initTextTable();
    // Window flags and the language-dependent start texts of the form.
    void applyTexts();

    Ui::UpdateUi ui;
    QMap<QString, QMap<QString, QString>> textTable;
    bool updateMode = false;
    QString softwareRoot;
    QString versionType;
    QString mainProgram;
    QString language;
    QString currentVersion;
    VersionCheckResult versionInfo;
    bool downloading = false;
    QString packagePath;

private:
    // The proxy the version check goes through, logged; empty for none.
    QString proxyInUse(const QUrl& serviceUrl) const;
    bool probeService(const QString& serviceIp, const QString& proxy);
    // The version check got no answer: the proxy or the service is named.
    [[noreturn]] void endUnanswered(bool pinged, const QString& proxy);
    [[noreturn]] void endCheckWithError(const QString& text);
    [[noreturn]] void endWithBox(const QString& logText, bool success, const QString& title,
                                 const QString& content, const QString& button);
    void setButtonUsable(QPushButton* button, bool usable);
    // Passed when the offer may be shown: the installation pins no root, or
    // the answer's release passed every check (else the failed one is logged).
    TrustVerdict verifyOffer();
    [[noreturn]] void endUnverified(const TrustVerdict& verdict);
    bool offersRefusedRelease() const;
    [[noreturn]] void endRefused();
    // Hands the new version's first start to the watcher; false when it
    // cannot be started, and the main program is then started as without one.
    bool handOverToWatcher();
    // Kept for the vendor's service and sent to it in the background.
    void reportOutcome(const QString& outcome, const QString& kind, const QString& reason);
    bool offersUsableRelease() const;
    bool offersUsableVersion() const;
    bool offersUsableAddress() const;
    QUrl packageUrl() const;
    // One log line per run when the installation pins no root.
    void warnUnlessVerified() const;
    DownloadOutcome downloadPackage(const QUrl& url);
    void failDownload(const DownloadOutcome& outcome);
    // The installation's own folder, or the user's for an installation that
    // needs elevation: where the package is downloaded.
    QString downloadFolder() const;
    // Hands the verified package to the elevated step and waits for it with
    // the window up; the main program is started again by this updater.
    void installElevated();
    void showWaitingForElevation();
    UpdateFailure elevationFailure(const ElevatedResult& result);
    bool prepareInstallation(QVector<QString>& files, UpdateFailure& problem);
    bool unpackPackage(QVector<QString>& files, UpdateFailure& problem);
    // The changed files put together from the delta and the installed ones.
    bool applyDelta(const QString& unpackFolder, UpdateFailure& problem);
    // The signed delta from the installed version, unless one failed in this
    // run already: then only the full package is used.
    bool usesDelta() const;
    QUrl deltaUrl() const;
    // Once, and the log says why: a delta that cannot be fetched or does not
    // fit the installed files gives way to the full package.
    void fallBackToFullPackage(const QString& reason);
    bool checkSpaceToInstall(const QVector<QString>& files, qint64 unpacked, qint64 available,
                             UpdateFailure& problem);
    bool prepareInstaller(const QVector<QString>& files, UpdateFailure& problem);
    void stopMainProgram();
    bool stopProgram(const QString& fileName);
    // The one way out of an update that failed or was cancelled after
    // "Update now": the installation as it was, the work files gone, the
    // user told why (unless it was their cancel), and the process ended
    // through endOffer() when the updater stopped the main program or the
    // update is forced; otherwise back to the offer.
    void failUpdate(const UpdateFailure& failure);
    QString failureText(const UpdateFailure& failure);
    QString proxyRefusedText(const QString& proxy);
    QString proxyUnreachableText(const QString& proxy);

    // The release as the vendor signed it; null when the installation pins no
    // root and nothing is verified.
    std::unique_ptr<SignedRelease> m_signedRelease;
    // Prepared while the main program still runs, used once it is stopped.
    std::unique_ptr<PackageInstaller> m_installer;
    bool m_installationLocked = true;
    bool m_elevationNeeded = false;
    bool m_mainProgramStopped = false;
    bool m_deltaInUse = false;
    bool m_deltaRefused = false;
    qint64 m_deltaUnpackedBytes = 0;
};

// Application folder + "/downloads" + `relative`.
QString downloadsPath(QString relative);
// A byte count as the size labels show it, e.g. "1.50 KB".
QString formatSize(qint64 size);
