#pragma once

class QString;

// Unpacks the zip file `archive` below the folder `target` through the
// unpacking library. True when every entry was written and verified.
bool extractZip(const QString& archive, const QString& target);
