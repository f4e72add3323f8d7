#include "download/ExtractZip.h"

#include "zlibwrap/ZLibWrap.h"

#include <QString>

#include <limits>

static_assert(sizeof(ZWChar) == sizeof(ushort), "the library takes UTF-16 code units");

bool extractZip(const QString& archive, const QString& target)
{
    // utf16() is zero-terminated and lives as long as the QString.
    const auto* archivePath = reinterpret_cast<const ZWChar*>(archive.utf16());
    const auto* targetPath = reinterpret_cast<const ZWChar*>(target.utf16());
    return ZWZipExtract(archivePath, targetPath) != 0;
}

bool inspectZip(const QString& archive, qint64& unpackedBytes)
{
    unsigned long long bytes = 0;
    const auto* archivePath = reinterpret_cast<const ZWChar*>(archive.utf16());
    if (ZWZipInspect(archivePath, &bytes) == 0 ||
        bytes > static_cast<unsigned long long>(std::numeric_limits<qint64>::max()))
        return false;
    unpackedBytes = static_cast<qint64>(bytes);
    return true;
}
