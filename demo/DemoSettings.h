#pragma once

#include <QString>

// What the demo reads from config.ini in its own folder: the installed
// version, which the updater rewrites after an update, and the facts the
// updater is started with.
struct DemoSettings
{
    QString version;
    QString softwareRoot;
    QString versionType;

    static DemoSettings read(const QString& applicationDir);
};
