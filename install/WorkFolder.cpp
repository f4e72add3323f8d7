#include "install/WorkFolder.h"

#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

WorkFolder::WorkFolder(QString applicationDir) : m_applicationDir(std::move(applicationDir)) {}

bool WorkFolder::make(const char* relative, QString& reason) const
{
    const QString workFolder = layout::pathIn(m_applicationDir, layout::kWorkFolder);
    // The downloads folder above is the installation's, which may put it on
    // another drive through a link of its own.
    QDir().mkpath(QFileInfo(workFolder).path());
    QString folder = workFolder;
    if (!makeReal(folder, reason))
        return false;
    const QString below = QString::fromLatin1(relative).mid(qstrlen(layout::kWorkFolder));
    const QStringList names = below.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& name : names) {
        folder += QLatin1Char('/') + name;
        if (!makeReal(folder, reason))
            return false;
    }
    return true;
}

bool WorkFolder::makeReal(const QString& folder, QString& reason) const
{
    if (platform::isLink(folder)) {
        qInfo()
            << QString("Update: a link in the place of the work folder %1 is removed").arg(folder);
        platform::removeLink(folder);
    }
    if (!QFileInfo(folder).isDir() && !platform::makeFolder(folder)) {
        reason = folder + " cannot be made";
        return false;
    }
    if (platform::isLink(folder) || !QFileInfo(folder).isDir()) {
        reason = folder + " is not a real folder";
        return false;
    }
    return true;
}
