#include "health/RefusedRelease.h"

#include "config/ConfigIni.h"

namespace {

const char* const kGroup = "Update";

} // namespace

bool RefusedRelease::remember(const QString& configPath, const QString& version, qint64 serial)
{
    return writeIniFileValue(configPath, kGroup, "RefusedVersion", version) &&
           writeIniFileValue(configPath, kGroup, "RefusedSerial", QString::number(serial));
}

bool RefusedRelease::refuses(const QString& configPath, const QString& version, qint64 serial)
{
    const QString refused = readIniFileValue(configPath, kGroup, "RefusedVersion", QString());
    bool known = false;
    const qint64 refusedSerial =
        readIniFileValue(configPath, kGroup, "RefusedSerial", QString()).toLongLong(&known);
    return !refused.isEmpty() && refused == version && (!known || serial <= refusedSerial);
}
