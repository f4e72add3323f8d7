#include "install/InstallJournal.h"

#include "config/ConfigIni.h"
#include "config/FileUtils.h"
#include "install/HeldFileWait.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>

namespace {

constexpr int kFormat = 1;

using State = InstallJournal::State;

const QPair<State, const char*> kStateNames[] = {
    {State::Installing, "installing"},
    {State::Complete, "complete"},
    {State::AwaitingConfirmation, "awaitingConfirmation"},
    {State::RollingBack, "rollingBack"},
    {State::RolledBack, "rolledBack"},
    {State::Confirmed, "confirmed"},
};

QString stateName(State state)
{
    for (const auto& entry : kStateNames) {
        if (entry.first == state)
            return QLatin1String(entry.second);
    }
    return QString();
}

bool readState(const QJsonValue& value, State& state)
{
    for (const auto& entry : kStateNames) {
        if (value.toString() == QLatin1String(entry.second)) {
            state = entry.first;
            return true;
        }
    }
    return false;
}

QJsonObject watchToJson(const InstallJournal::Watch& watch)
{
    return QJsonObject{{"installedAt", watch.installedAt.toString(Qt::ISODateWithMs)},
                       {"until", watch.until.toString(Qt::ISODateWithMs)},
                       {"attempt", watch.attempt},
                       {"ends", QJsonArray::fromStringList(watch.ends)},
                       {"serial", watch.serial},
                       {"reason", watch.reason}};
}

// A watch that cannot be read is one whose window has long passed.
InstallJournal::Watch watchFromJson(const QJsonObject& object)
{
    InstallJournal::Watch watch;
    watch.installedAt = QDateTime::fromString(object.value("installedAt").toString(), Qt::ISODate);
    watch.until = QDateTime::fromString(object.value("until").toString(), Qt::ISODate);
    watch.attempt = object.value("attempt").toInt();
    for (const QJsonValue& end : object.value("ends").toArray())
        watch.ends.append(end.toString());
    watch.serial = qint64(object.value("serial").toDouble(-1));
    watch.reason = object.value("reason").toString();
    return watch;
}

bool readPath(const QJsonValue& value, bool optional, QString& path)
{
    if (optional && value.isUndefined()) {
        path.clear();
        return true;
    }
    path = value.toString();
    return value.isString() && isContainedRelativePath(path);
}

} // namespace

bool isContainedRelativePath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')) ||
        path.contains(QLatin1Char(':')) || QFileInfo(path).isAbsolute())
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

InstallJournal::InstallJournal(QString applicationDir) : m_applicationDir(std::move(applicationDir))
{}

QString InstallJournal::filePathIn(const QString& applicationDir)
{
    return layout::pathIn(applicationDir, layout::kJournal);
}

QString InstallJournal::filePath() const
{
    return filePathIn(m_applicationDir);
}

QString InstallJournal::configPath() const
{
    return layout::pathIn(m_applicationDir, layout::kConfigIni);
}

QString InstallJournal::absolutePath(const QString& relative) const
{
    return m_applicationDir + QLatin1Char('/') + relative;
}

void InstallJournal::setVersions(QString oldVersion, QString newVersion)
{
    m_oldVersion = std::move(oldVersion);
    m_newVersion = std::move(newVersion);
}

QString InstallJournal::relativeOf(const QString& absolute) const
{
    const QString prefix = m_applicationDir + QLatin1Char('/');
    if (!absolute.startsWith(prefix))
        return {};
    const QString relative = absolute.mid(prefix.size());
    return isContainedRelativePath(relative) ? relative : QString();
}

bool InstallJournal::addTarget(const QString& target, const QString& backup)
{
    Target item{relativeOf(target), backup.isEmpty() ? QString() : relativeOf(backup)};
    if (item.path.isEmpty() || (!backup.isEmpty() && item.backup.isEmpty()))
        return false;
    m_targets.append(item);
    return true;
}

bool InstallJournal::addFolder(const QString& folder)
{
    const QString relative = relativeOf(folder);
    if (relative.isEmpty())
        return false;
    m_folders.append(relative);
    return true;
}

QJsonObject InstallJournal::toJson() const
{
    QJsonArray targets;
    for (const Target& target : m_targets) {
        QJsonObject item{{"path", target.path}};
        if (!target.backup.isEmpty())
            item.insert("backup", target.backup);
        targets.append(item);
    }
    QJsonObject root{
        {"format", kFormat},          {"state", stateName(m_state)},
        {"oldVersion", m_oldVersion}, {"newVersion", m_newVersion},
        {"targets", targets},         {"folders", QJsonArray::fromStringList(m_folders)}};
    if (isWatched())
        root.insert("watch", watchToJson(m_watch));
    return root;
}

// A watcher and the updater read the journal while the other may save it;
// on Windows a reader keeps the journal from being replaced for that moment.
bool InstallJournal::save(State state)
{
    m_state = state;
    const QByteArray content = QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
    return HeldFileWait(HeldFileWait::kRecordAllowanceMs).retry(filePath(), [&] {
        return replaceFileContent(filePath(), content);
    }) && platform::syncFolder(QFileInfo(filePath()).path());
}

bool InstallJournal::load(QString& error)
{
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        error = parseError.errorString();
        return false;
    }
    return fromJson(document.object(), error);
}

bool InstallJournal::fromJson(const QJsonObject& root, QString& error)
{
    if (root.value("format").toInt() != kFormat || !readState(root.value("state"), m_state) ||
        !root.value("oldVersion").isString() || !root.value("newVersion").isString() ||
        !root.value("targets").isArray() || !root.value("folders").isArray()) {
        error = QStringLiteral("not an installation journal");
        return false;
    }
    m_watch = watchFromJson(root.value("watch").toObject());
    setVersions(root.value("oldVersion").toString(), root.value("newVersion").toString());

    m_targets.clear();
    const QJsonArray targets = root.value("targets").toArray();
    for (const QJsonValue& value : targets) {
        const QJsonObject item = value.toObject();
        Target target;
        if (!readPath(item.value("path"), false, target.path) ||
            !readPath(item.value("backup"), true, target.backup)) {
            error = QStringLiteral("target outside the installation");
            return false;
        }
        m_targets.append(target);
    }
    m_folders.clear();
    const QJsonArray folders = root.value("folders").toArray();
    for (const QJsonValue& value : folders) {
        QString folder;
        if (!readPath(value, false, folder)) {
            error = QStringLiteral("folder outside the installation");
            return false;
        }
        m_folders.append(folder);
    }
    return true;
}

bool InstallJournal::isWatched() const
{
    return m_state != State::Installing && m_state != State::Complete;
}

bool InstallJournal::remove()
{
    QFile::remove(filePath());
    platform::syncFolder(QFileInfo(filePath()).path());
    return !QFileInfo::exists(filePath());
}

bool InstallJournal::recordNewVersion() const
{
    return writeVersion(m_newVersion);
}

bool InstallJournal::isCommitted() const
{
    // A package of the installed version itself cannot tell the two apart;
    // it is given back, which leaves the same version.
    return m_newVersion != m_oldVersion &&
           readIniFileValue(configPath(), "Version", "Version", QString()) == m_newVersion;
}

// A writer killed while it held config.ini's lock leaves the lock file
// behind; taking and dropping the lock clears it when its owner is gone. One
// killed while it wrote the lock file leaves it without an owner, which Qt
// would take for live for half a minute.
void InstallJournal::releaseStaleConfigLock() const
{
    const QString lockPath = configPath() + QStringLiteral(".lock");
    if (!QFileInfo::exists(lockPath))
        return;
    QLockFile lock(lockPath);
    qint64 owner = 0;
    QString host;
    QString program;
    if (!lock.getLockInfo(&owner, &host, &program))
        lock.removeStaleLockFile();
    if (lock.tryLock(0))
        lock.unlock();
}

bool InstallJournal::restoreOldVersion() const
{
    releaseStaleConfigLock();
    // After a failed write of the new version this process's view of
    // config.ini still holds it; only the disk says what is there.
    if (readIniFileFromDisk(configPath(), "Version", "Version") == m_oldVersion)
        return true;
    return writeVersion(m_oldVersion);
}

bool InstallJournal::writeVersion(const QString& version) const
{
    // config.ini is replaced by a rename; syncing the folder puts that rename
    // on disk before anything that depends on it.
    return writeIniFileValue(configPath(), "Version", "Version", version) &&
           platform::syncFolder(m_applicationDir);
}
