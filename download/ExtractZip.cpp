#include "download/ExtractZip.h"

#include "zlibwrap/ZLibWrap.h"

#include <QString>

static_assert(sizeof(ZWChar) == sizeof(ushort), "the library takes UTF-16 code units");

bool extractZip(const QString& archive, const QString& target)
{
    // utf16() is zero-terminated and lives as long as the QString.
    const auto* archivePath = reinterpret_cast<const ZWChar*>(archive.utf16());
    const auto* targetPath = reinterpret_cast<const ZWChar*>(target.utf16());
    return ZWZipExtract(archivePath, targetPath) != 0;
}
