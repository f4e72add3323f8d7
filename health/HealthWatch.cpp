#include "health/HealthWatch.h"

#include "config/ConfigIni.h"
#include "install/InstallCheckpoint.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

namespace {

using Status = WatchedInstallation::Status;

// How often the watch looks for the main program's own word.
constexpr int kStepMs = 100;
// Other updaters hold the installation's lock only briefly while a watch
// runs; one that holds it longer has found the watch and ended it.
constexpr int kLockWaitMs = 60 * 1000;
constexpr int kMostSeconds = 3600;

void logHealth(const QString& text)
{
    qInfo() << QString("Update: %1").arg(text);
}

bool holdInstallation(platform::InstanceLock& lock, const QString& applicationDir)
{
    QElapsedTimer waited;
    waited.start();
    const QString lockFile = layout::pathIn(applicationDir, layout::kInstanceLock);
    while (lock.acquire(lockFile).state == platform::InstanceLock::State::HeldByAnother) {
        if (waited.hasExpired(kLockWaitMs))
            return false;
        QThread::msleep(kStepMs);
    }
    return true;
}

} // namespace

struct HealthWatch::Attempt
{
    platform::WatchedProcess program;
    platform::WatchedProcess::End end;
    bool confirmedByMainProgram = false;
};

int HealthWatch::windowSeconds(const QString& applicationDir)
{
    bool number = false;
    const int seconds = readIniFileValue(layout::pathIn(applicationDir, layout::kConfigIni),
                                         "Update", "HealthSeconds", QString())
                            .toInt(&number);
    return number && seconds >= 0 ? qMin(seconds, kMostSeconds) : kDefaultSeconds;
}

HealthWatch::HealthWatch(QString applicationDir, QString mainProgram, QString versionType)
    : m_applicationDir(std::move(applicationDir)), m_mainProgram(std::move(mainProgram)),
      m_versionType(std::move(versionType)), m_seconds(windowSeconds(m_applicationDir))
{}

HealthWatch::Result HealthWatch::run()
{
    Result result;
    WatchedInstallation installation(m_applicationDir);
    if (!installation.load() || !installation.awaitsConfirmation()) {
        logHealth("no new version awaits confirmation; the main program is started");
        startMainProgram();
        return result;
    }
    result.oldVersion = installation.journal().oldVersion();
    result.newVersion = installation.journal().newVersion();
    result.status = watch(installation, result.reason);
    if (result.status == Status::RolledBack || result.status == Status::Failed)
        startMainProgram();
    // The old version runs before the work folder, which may be large, goes.
    if (result.status == Status::RolledBack)
        installation.finish();
    return result;
}

// A watch that cannot go on leaves its journal to the next start, and the
// main program to the user.
Status HealthWatch::watch(WatchedInstallation& installation, QString& reason)
{
    for (;;) {
        Attempt attempt;
        if (!beginAttempt(installation, attempt)) {
            startMainProgram();
            return Status::Pending;
        }
        watchWindow(installation, attempt);
        const Status status = decide(installation, attempt, reason);
        if (status != Status::Pending)
            return status;
    }
}

// The window is on disk before the program starts: a start that finds the
// watcher gone knows from it when the watch is over.
bool HealthWatch::beginAttempt(WatchedInstallation& installation, Attempt& attempt)
{
    platform::InstanceLock lock;
    if (!holdInstallation(lock, m_applicationDir) || !installation.load() ||
        !installation.awaitsConfirmation())
        return false;
    InstallJournal::Watch watch = installation.journal().watch();
    ++watch.attempt;
    watch.until = QDateTime::currentDateTimeUtc().addSecs(m_seconds);
    installation.journal().setWatch(watch);
    if (!installation.saveWatch())
        return false;
    passInstallCheckpoint("watch");
    QString reason;
    const QString program = m_applicationDir + QLatin1Char('/') + m_mainProgram;
    if (m_mainProgram.isEmpty() ||
        attempt.program.start(program, {QStringLiteral("restart"), m_versionType}, reason)) {
        logHealth(QString("watching version %1 for %2 s, start %3")
                      .arg(installation.journal().newVersion())
                      .arg(m_seconds)
                      .arg(watch.attempt));
        return true;
    }
    // A program that cannot be started is as ill as one that crashes.
    attempt.end = {platform::WatchedProcess::End::Kind::Exited, -1};
    logHealth(QString("the main program cannot be started: %1").arg(reason));
    return true;
}

void HealthWatch::watchWindow(WatchedInstallation& installation, Attempt& attempt)
{
    if (m_mainProgram.isEmpty() || attempt.end.kind != platform::WatchedProcess::End::Kind::Running)
        return;
    QElapsedTimer window;
    window.start();
    while (!window.hasExpired(qint64(m_seconds) * 1000)) {
        attempt.end = attempt.program.wait(kStepMs);
        if (attempt.end.kind != platform::WatchedProcess::End::Kind::Running)
            return;
        if (installation.confirmedByMainProgram()) {
            attempt.confirmedByMainProgram = true;
            return;
        }
    }
}

Status HealthWatch::decide(WatchedInstallation& installation, const Attempt& attempt,
                           QString& reason)
{
    platform::InstanceLock lock;
    if (!holdInstallation(lock, m_applicationDir) || !installation.load() ||
        !installation.awaitsConfirmation())
        return Status::None;
    if (m_mainProgram.isEmpty())
        reason = QStringLiteral("there is no main program to watch");
    else if (attempt.confirmedByMainProgram)
        reason = QStringLiteral("confirmed by the main program");
    else if (attempt.end.kind == platform::WatchedProcess::End::Kind::Running)
        reason = QStringLiteral("running when the window ended");
    else if (attempt.end.normal())
        reason = QStringLiteral("closed inside the window");
    if (!reason.isEmpty())
        return installation.confirm(reason);

    InstallJournal::Watch watch = installation.journal().watch();
    watch.ends.append(attempt.end.text());
    installation.journal().setWatch(watch);
    logHealth(QString("the main program ended abnormally: %1").arg(attempt.end.text()));
    if (watch.attempt < 2)
        return installation.saveWatch() ? Status::Pending : Status::Failed;
    reason = QStringLiteral("ended abnormally twice: ") + watch.ends.join(QStringLiteral(", "));
    return installation.rollBack(reason);
}

void HealthWatch::startMainProgram() const
{
    if (m_mainProgram.isEmpty())
        return;
    logHealth(QString("the main program %1 is started").arg(m_mainProgram));
    QProcess::startDetached(m_applicationDir + QLatin1Char('/') + m_mainProgram,
                            {QStringLiteral("restart"), m_versionType});
}
