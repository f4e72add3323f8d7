#include "update/Update.h"

#include "layout/InstallationLayout.h"

#include <QCoreApplication>
#include <QDebug>
#include <QProcess>

void Update::restartMainProgram()
{
    if (!mainProgram.isEmpty()) {
        qInfo() << QString("Update: %1").arg(QString::fromUtf8("启动主程序"));
        QProcess::startDetached(layout::installationDir() + "/" + mainProgram,
                                {"restart", versionType});
    }
    qInfo() << QString("Update: %1").arg(QString::fromUtf8("更新程序退出"));
    endProcess();
}

void Update::endOffer()
{
    if (m_mainProgramStopped)
        restartMainProgram();
    qInfo() << QString("Update: %1").arg(QString::fromUtf8("更新程序退出"));
    endProcess();
}
