#include "install/InstallRecovery.h"

#include "install/InstallCheckpoint.h"
#include "install/InstallJournal.h"
#include "install/InstallUndo.h"
#include "install/WorkFolder.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QFileInfo>

namespace {

void logUpdate(const QString& text, const QString& detail = QString())
{
    if (detail.isEmpty())
        qInfo() << QString("Update: %1").arg(text);
    else
        qInfo() << QString("Update: %1 %2").arg(text, detail);
}

} // namespace

InstallRecovery::InstallRecovery(QString applicationDir)
    : m_applicationDir(std::move(applicationDir))
{}

bool InstallRecovery::run()
{
    InstallJournal journal(m_applicationDir);
    if (!QFileInfo::exists(journal.filePath())) {
        WorkFolder(m_applicationDir).dropLeftovers();
        return true;
    }
    QString error;
    if (!journal.load(error)) {
        logUpdate(QString::fromUtf8("忽略无效的安装记录"), journal.filePath() + ": " + error);
        journal.remove();
        return true;
    }
    // A watched installation is the health watch's to finish.
    if (journal.isWatched())
        return false;
    if (journal.state() == InstallJournal::State::Complete || journal.isCommitted()) {
        journal.releaseStaleConfigLock();
        WorkFolder(m_applicationDir).clearAll();
        return true;
    }
    logUpdate(QString::fromUtf8("恢复未完成的更新"));
    if (!InstallUndo(journal).run())
        return false;
    passInstallCheckpoint("recovered");
    // Every backup the journal names has been put back or dropped by now.
    WorkFolder(m_applicationDir).clearUnpacked();
    return journal.remove();
}
