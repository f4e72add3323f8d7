#include "health/WatchedInstallation.h"

#include "health/OutcomeRecord.h"
#include "health/RefusedRelease.h"
#include "install/InstallCheckpoint.h"
#include "install/InstallUndo.h"
#include "install/WorkFolder.h"
#include "layout/InstallationLayout.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

using State = InstallJournal::State;

void logHealth(const QString& text)
{
    qInfo() << QString("Update: %1").arg(text);
}

} // namespace

WatchedInstallation::WatchedInstallation(QString applicationDir)
    : m_applicationDir(std::move(applicationDir)), m_journal(m_applicationDir)
{}

bool WatchedInstallation::load()
{
    QString error;
    return QFileInfo::exists(m_journal.filePath()) && m_journal.load(error) &&
           m_journal.isWatched();
}

bool WatchedInstallation::awaitsConfirmation() const
{
    return m_journal.state() == State::AwaitingConfirmation;
}

bool WatchedInstallation::confirmedByMainProgram() const
{
    return QFileInfo::exists(layout::pathIn(m_applicationDir, layout::kConfirmedMark));
}

bool WatchedInstallation::markConfirmed(const QString& applicationDir)
{
    WatchedInstallation installation(applicationDir);
    if (!installation.load() || !installation.awaitsConfirmation())
        return false;
    QFile mark(layout::pathIn(applicationDir, layout::kConfirmedMark));
    return mark.open(QIODevice::WriteOnly);
}

bool WatchedInstallation::saveWatch()
{
    return m_journal.save(State::AwaitingConfirmation);
}

WatchedInstallation::Status WatchedInstallation::confirm(const QString& reason)
{
    logHealth(QString("version %1 is confirmed: %2").arg(m_journal.newVersion(), reason));
    if (!saveVerdict(State::Confirmed, reason))
        return Status::Failed;
    passInstallCheckpoint("confirmed");
    return finish();
}

WatchedInstallation::Status WatchedInstallation::rollBack(const QString& reason)
{
    logHealth(QString("version %1 is taken back: %2").arg(m_journal.newVersion(), reason));
    if (!saveVerdict(State::RollingBack, reason))
        return Status::Failed;
    passInstallCheckpoint("rollingBack");
    return giveBack();
}

bool WatchedInstallation::saveVerdict(InstallJournal::State state, const QString& reason)
{
    InstallJournal::Watch watch = m_journal.watch();
    watch.reason = reason;
    m_journal.setWatch(watch);
    return m_journal.save(state);
}

// The undo restores config.ini's old version first; the release is refused
// only once every file is back.
WatchedInstallation::Status WatchedInstallation::giveBack()
{
    if (!InstallUndo(m_journal).run())
        return Status::Failed;
    const QString config = m_journal.configPath();
    if (!RefusedRelease::remember(config, m_journal.newVersion(), m_journal.watch().serial) ||
        !m_journal.save(State::RolledBack))
        return Status::Failed;
    passInstallCheckpoint("rolledBack");
    return Status::RolledBack;
}

WatchedInstallation::Status WatchedInstallation::finish()
{
    const bool confirmed = m_journal.state() == State::Confirmed;
    const InstallJournal::Watch& watch = m_journal.watch();
    OutcomeRecord::Entry entry;
    entry.outcome = confirmed ? QStringLiteral("confirmed") : QStringLiteral("rolledBack");
    entry.reason = watch.reason;
    entry.fromVersion = m_journal.oldVersion();
    entry.toVersion = m_journal.newVersion();
    entry.serial = watch.serial;
    entry.ends = watch.ends;
    entry.installedAt = watch.installedAt;
    entry.decidedAt = QDateTime::currentDateTimeUtc();
    if (!OutcomeRecord(layout::pathIn(m_applicationDir, layout::kOutcomeRecord)).add(entry))
        logHealth("the outcome of the update could not be recorded");
    WorkFolder(m_applicationDir).clearAll();
    return confirmed ? Status::Confirmed : Status::RolledBack;
}

WatchedInstallation::Status WatchedInstallation::resume(const QDateTime& now)
{
    if (!load())
        return Status::None;
    switch (m_journal.state()) {
    case State::AwaitingConfirmation:
        return resumeAwaiting(now);
    case State::RollingBack:
        logHealth(QString("taking version %1 back, as begun").arg(m_journal.newVersion()));
        return giveBack() == Status::RolledBack ? finish() : Status::Failed;
    default:
        return finish();
    }
}

WatchedInstallation::Status WatchedInstallation::resumeAwaiting(const QDateTime& now)
{
    if (confirmedByMainProgram())
        return confirm(QStringLiteral("confirmed by the main program"));
    const QDateTime until = m_journal.watch().until;
    if (!until.isValid() || now > until.addSecs(kGraceSeconds))
        return confirm(QStringLiteral("the window passed without a verdict"));
    return Status::Pending;
}
