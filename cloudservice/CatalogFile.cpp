#include "cloudservice/CatalogFile.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>
#include <chrono>
#include <filesystem>

namespace {

constexpr long long checkInterval = 1000 * 1000 * 1000;

long long steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

CatalogFile::CatalogFile(const QString& path) : m_path(path) {}

bool CatalogFile::load(QString& errorText)
{
    std::lock_guard<std::mutex> lock(m_reloadMutex);
    m_nextCheck = steadyNow() + checkInterval;
    return reload(readStamp(), errorText);
}

CatalogFile::Version CatalogFile::current()
{
    const long long now = steadyNow();
    if (now >= m_nextCheck.load(std::memory_order_relaxed)) {
        // Requests arriving while one thread looks at the file answer from
        // the catalog in place rather than wait for it.
        std::unique_lock<std::mutex> lock(m_reloadMutex, std::try_to_lock);
        if (lock.owns_lock() && now >= m_nextCheck) {
            m_nextCheck = now + checkInterval;
            refresh();
        }
    }
    std::lock_guard<std::mutex> lock(m_versionMutex);
    return m_version;
}

void CatalogFile::refresh()
{
    const Stamp stamp = readStamp();
    if (stamp == m_stamp)
        return;
    QString errorText;
    // Only reload() replaces m_version, and it runs under the lock held here.
    if (reload(stamp, errorText))
        qInfo().noquote() << QString("Catalog %1 reloaded: %2 version types")
                                 .arg(m_path)
                                 .arg(m_version.catalog->channelCount());
    else
        qInfo().noquote() << QString("Catalog %1 not reloaded, keeping the last good one: %2")
                                 .arg(m_path, errorText);
}

CatalogFile::Stamp CatalogFile::readStamp() const
{
    std::error_code error;
    const std::filesystem::path path(QFile::encodeName(m_path).toStdString());
    Stamp stamp;
    const auto modified = std::filesystem::last_write_time(path, error);
    if (error)
        return stamp;
    const auto size = std::filesystem::file_size(path, error);
    if (error)
        return stamp;
    stamp.modified = static_cast<long long>(modified.time_since_epoch().count());
    stamp.size = static_cast<long long>(size);
    return stamp;
}

bool CatalogFile::reload(const Stamp& stamp, QString& errorText)
{
    // Remembered also on failure, so a broken file is reported once rather
    // than at every look until it changes again.
    m_stamp = stamp;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QString("cannot read the file: %1").arg(file.errorString());
        return false;
    }
    auto catalog = std::make_shared<ReleaseCatalog>();
    if (!ReleaseCatalog::parse(file.readAll(), QFileInfo(m_path).absolutePath(), *catalog,
                               errorText))
        return false;
    std::lock_guard<std::mutex> lock(m_versionMutex);
    m_version = Version{std::move(catalog), m_version.generation + 1};
    return true;
}
