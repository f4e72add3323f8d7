#include "config/ConfigIni.h"

#include "layout/InstallationLayout.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryFile>
#include <QTextCodec>

namespace {

QString keyPath(const QString& group, const QString& key)
{
    return QLatin1Char('/') + group + QLatin1Char('/') + key;
}

} // namespace

QString readIniFileValue(const QString& path, const QString& group, const QString& key,
                         const QString& defaultValue)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("utf8"));
    const QString value = settings.value(keyPath(group, key), defaultValue).toString();
    // A key that is present but empty means "not set" to every caller.
    return value.isEmpty() ? defaultValue : value;
}

bool writeIniFileValue(const QString& path, const QString& group, const QString& key,
                       const QString& value)
{
    // QSettings writes a new file beside the old one, flushes it and renames
    // it over, so the file is never seen half written.
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("utf8"));
    settings.setValue(keyPath(group, key), value);
    settings.sync();
    return settings.status() == QSettings::NoError &&
           readIniFileFromDisk(path, group, key) == value;
}

QString defaultServiceAddress()
{
    return QStringLiteral("http://updates.example.com");
}

QString configuredServiceHost()
{
    return readConfigValue("Version", "ServiceIP", defaultServiceAddress());
}

QString configuredServiceAddress()
{
    return QString("%1:%2").arg(configuredServiceHost(),
                                readConfigValue("Version", "ServicePort", "80"));
}

// Forward slashes work on every system Qt runs on; a backslash would become
// part of the file name outside Windows.
QString mainConfigPath()
{
    return layout::applicationPath(layout::kConfigIni);
}

QString namedConfigPath(const QString& fileName)
{
    return layout::applicationPath(layout::kConfigFolder) + QLatin1Char('/') + fileName;
}

QString readConfigValue(const QString& group, const QString& key, const QString& defaultValue)
{
    return readIniFileValue(mainConfigPath(), group, key, defaultValue);
}

QString readConfigFileValue(const QString& group, const QString& key, const QString& defaultValue,
                            const QString& fileName)
{
    return readIniFileValue(namedConfigPath(fileName), group, key, defaultValue);
}

void writeConfigValue(const QString& group, const QString& key, const QString& value)
{
    writeIniFileValue(mainConfigPath(), group, key, value);
}

// A copy under a name Qt has never seen is read from disk.
QString readIniFileFromDisk(const QString& path, const QString& group, const QString& key)
{
    QFile file(path);
    QTemporaryFile copy;
    if (!file.open(QIODevice::ReadOnly) || !copy.open() || copy.write(file.readAll()) < 0 ||
        !copy.flush())
        return QString();
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("utf8"));
    return settings.value(keyPath(group, key)).toString();
}
