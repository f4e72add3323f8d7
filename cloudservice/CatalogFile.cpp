#include "cloudservice/CatalogFile.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>
#include <filesystem>

CatalogFile::CatalogFile(const QString& path) : m_path(path) {}

bool CatalogFile::load(QString& errorText)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return reload(readStamp(), errorText);
}

ReleaseCatalog CatalogFile::current()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const Stamp stamp = readStamp();
    if (!(stamp == m_stamp)) {
        QString errorText;
        if (reload(stamp, errorText))
            qInfo().noquote() << QString("Catalog %1 reloaded: %2 version types")
                                     .arg(m_path)
                                     .arg(m_catalog.channelCount());
        else
            qInfo().noquote() << QString("Catalog %1 not reloaded, keeping the last good one: %2")
                                     .arg(m_path, errorText);
    }
    return m_catalog;
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
    // than on every request until it changes again.
    m_stamp = stamp;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QString("cannot read the file: %1").arg(file.errorString());
        return false;
    }
    return ReleaseCatalog::parse(file.readAll(), QFileInfo(m_path).absolutePath(), m_catalog,
                                 errorText);
}
