#include "demo/DemoSettings.h"

#include <QSettings>

DemoSettings DemoSettings::read(const QString& applicationDir)
{
    QSettings ini(applicationDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    DemoSettings settings;
    settings.version = ini.value(QStringLiteral("Version/Version")).toString();
    settings.softwareRoot =
        ini.value(QStringLiteral("Demo/SoftwareRoot"), QStringLiteral("DemoApp")).toString();
    settings.versionType =
        ini.value(QStringLiteral("Demo/VersionType"), QStringLiteral("general")).toString();
    return settings;
}
