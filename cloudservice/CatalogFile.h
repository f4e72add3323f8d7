#pragma once

#include "cloudservice/ReleaseCatalog.h"

#include <QString>
#include <mutex>

// The catalog file on disk, re-read whenever its modification time or size
// changes, so vendors publish a release by editing or replacing the
// file. A file that cannot be read or parsed keeps the last good catalog.
// The signed documents it names are re-read with it, and only then: watching
// each of them would cost a stat per file and request for no real gain.
// Safe to use from the server's worker threads.
class CatalogFile
{
public:
    explicit CatalogFile(const QString& path);

    // The first load; false with the reason when the file is unusable.
    bool load(QString& errorText);
    // The catalog to answer with, reloaded first if the file changed.
    ReleaseCatalog current();

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
    bool reload(const Stamp& stamp, QString& errorText);

    QString m_path;
    std::mutex m_mutex;
    ReleaseCatalog m_catalog;
    Stamp m_stamp;
};
