#include "demo/UpdaterReplacement.h"

#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace {

// The names the updater gives itself and the new updater it leaves behind;
// the demo does not link the updater, so it spells them again.
#ifdef Q_OS_WIN
const QString kExecutableSuffix = QStringLiteral(".exe");
#else
const QString kExecutableSuffix;
#endif

// Qt's 8-bit file names are the ANSI code page on Windows, which cannot
// spell every name; the wide ones can.
std::filesystem::path nativePath(const QString& path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).constData());
#endif
}

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
    return m_applicationDir + QStringLiteral("/VaDeroru") + kExecutableSuffix;
}

QString UpdaterReplacement::pendingPath() const
{
    return m_applicationDir + QStringLiteral("/VaDeroru_temp") + kExecutableSuffix;
}

UpdaterReplacement::Outcome UpdaterReplacement::complete(QString& errorText) const
{
    if (!QFileInfo(pendingPath()).isFile())
        return Outcome::NothingPending;
    if (!makeExecutable(errorText))
        return Outcome::Failed;

    // One rename replaces the old file in a single step, so there is never a
    // moment without an updater. On Linux it works while the old one still
    // runs; Windows refuses to replace a running program, and the next start
    // tries again.
    std::error_code error;
    std::filesystem::rename(nativePath(pendingPath()), nativePath(updaterPath()), error);
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
