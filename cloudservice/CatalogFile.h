#pragma once

#include "cloudservice/ReleaseCatalog.h"

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

// The catalog file on disk, held in memory and re-read when its modification
// time or size changes, so vendors publish a release by editing or replacing
// the file. The file is looked at no more than once a second, whatever the
// request rate. A file that cannot be read or parsed keeps the last good
// catalog. The signed documents it names are re-read with it, and only then:
// watching each of them would cost a stat per file for no real gain.
// Safe to use from the server's worker threads.
class CatalogFile
{
public:
    // A catalog as loaded, never changed afterwards; every successful load
    // has a higher generation than the one before.
    struct Version
    {
        std::shared_ptr<const ReleaseCatalog> catalog;
        unsigned long long generation = 0;
    };

    explicit CatalogFile(const QString& path);

    // The first load; false with the reason when the file is unusable.
    bool load(QString& errorText);
    // The catalog to answer with, reloaded first if the file changed.
    Version current();

private:
    struct Stamp
    {
        long long modified = 0;
        long long size = -1;
        bool operator==(const Stamp& other) const
        {
            return modified == other.modified && size == other.size;
        }
    };

    Stamp readStamp() const;
    void refresh();
    bool reload(const Stamp& stamp, QString& errorText);

    QString m_path;
    std::mutex m_reloadMutex; // one look at the file at a time; guards m_stamp
    Stamp m_stamp;
    std::atomic<long long> m_nextCheck{0}; // steady clock, nanoseconds
    std::mutex m_versionMutex;
    Version m_version;
};
