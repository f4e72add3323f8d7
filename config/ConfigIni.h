#pragma once

// The installation's INI settings, read afresh on every call: config.ini and
// the named files of the config folder, both beside the updater.

#include <QString>

// The service address used when config.ini names none. A deployment sets its
// own; it keeps the "http://" + host form the probe and the controller expect.
QString defaultServiceAddress();
// The service's host as config.ini names it, and the "host:port" requests go to.
QString configuredServiceHost();
QString configuredServiceAddress();

QString mainConfigPath();
QString namedConfigPath(const QString& fileName);

QString readConfigValue(const QString& group, const QString& key, const QString& defaultValue);
QString readConfigFileValue(const QString& group, const QString& key, const QString& defaultValue,
                            const QString& fileName);
void writeConfigValue(const QString& group, const QString& key, const QString& value);

// The same access to the INI file at `path`. The write replaces the file as a
// whole (a crash leaves the old or the new file, never a mix) and is true
// when it was saved and the file on disk holds the value.
QString readIniFileValue(const QString& path, const QString& group, const QString& key,
                         const QString& defaultValue);
bool writeIniFileValue(const QString& path, const QString& group, const QString& key,
                       const QString& value);
// The value as the file on disk holds it: Qt keeps one parsed copy of each
// INI file per process, with changes it failed to save, and answers every
// other read from that copy.
QString readIniFileFromDisk(const QString& path, const QString& group, const QString& key);
