#pragma once

#include <QtGlobal>

class QString;

// Unpacks the zip file `archive` below the folder `target` through the
// unpacking library. True when every entry was written and verified.
bool extractZip(const QString& archive, const QString& target);

// Checks `archive` as extractZip does before it writes, writing nothing, and
// sets `unpackedBytes` to the bytes it will unpack to. False where extractZip
// would refuse the archive before writing.
bool inspectZip(const QString& archive, qint64& unpackedBytes);
