#include "demo/UpdaterReplacement.h"

#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace {

// The package is unpacked without file modes, so the new updater may arrive
// without its executable bit; whoever may read it may run it.
QFileDevice::Permissions withExecute(QFileDevice::Permissions permissions)
{
    permissions |= QFileDevice::ExeOwner | QFileDevice::ExeUser;
    if (permissions & QFileDevice::ReadGroup)
        permissions |= QFileDevice::ExeGroup;
    if (permissions & QFileDevice::ReadOther)
        permissions |= QFileDevice::ExeOther;
    return permissions;
}

} // namespace

UpdaterReplacement::UpdaterReplacement(const QString& applicationDir)
    : m_applicationDir(applicationDir)
{}

QString UpdaterReplacement::updaterPath() const
{
    return m_applicationDir + QStringLiteral("/VaDeroru");
}

QString UpdaterReplacement::pendingPath() const
{
    return m_applicationDir + QStringLiteral("/VaDeroru_temp");
}

UpdaterReplacement::Outcome UpdaterReplacement::complete(QString& errorText) const
{
    if (!QFileInfo(pendingPath()).isFile())
        return Outcome::NothingPending;
    if (!makeExecutable(errorText))
        return Outcome::Failed;

    // One rename replaces the old file in a single step, so there is never a
    // moment without an updater, and it works while the old one still runs.
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(pendingPath()).constData(),
                            QFile::encodeName(updaterPath()).constData(), error);
    if (error) {
        errorText = QStringLiteral("cannot move %1 over %2: %3")
                        .arg(pendingPath(), updaterPath(), QString::fromStdString(error.message()));
        return Outcome::Failed;
    }
    return Outcome::Replaced;
}

bool UpdaterReplacement::makeExecutable(QString& errorText) const
{
    QFile pending(pendingPath());
    const QFileDevice::Permissions wanted = withExecute(pending.permissions());
    if (pending.permissions() == wanted || pending.setPermissions(wanted))
        return true;
    errorText =
        QStringLiteral("cannot make %1 executable: %2").arg(pendingPath(), pending.errorString());
    return false;
}
