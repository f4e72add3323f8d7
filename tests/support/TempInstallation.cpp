#include "support/TempInstallation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTextCodec>

TempInstallation::TempInstallation(const QString& parent)
    : m_dir((parent.isEmpty() ? QDir::tempPath() : parent) + QStringLiteral("/vaderoru-XXXXXX"))
{}

QString TempInstallation::filePath(const QString& relative) const
{
    return m_dir.filePath(relative);
}

QString TempInstallation::installExecutable(const QString& executable, const QString& name)
{
    const QString target = filePath(name.isEmpty() ? QFileInfo(executable).fileName() : name);
    QFile::remove(target);
    QFile::copy(executable, target);
    QFile::setPermissions(target, QFile::permissions(executable));
    return target;
}

void TempInstallation::writeFile(const QString& relative, const QByteArray& content)
{
    const QString target = filePath(relative);
    QDir().mkpath(QFileInfo(target).path());
    QFile file(target);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

QByteArray TempInstallation::readFile(const QString& relative) const
{
    QFile file(filePath(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TempInstallation::setIni(const QString& relative, const QString& group, const QString& key,
                              const QString& value)
{
    const QString target = filePath(relative);
    QDir().mkpath(QFileInfo(target).path());
    QSettings settings(target, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("utf8"));
    settings.setValue(group + QLatin1Char('/') + key, value);
}

QString TempInstallation::ini(const QString& relative, const QString& group,
                              const QString& key) const
{
    QSettings settings(filePath(relative), QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("utf8"));
    return settings.value(group + QLatin1Char('/') + key).toString();
}

ProcessResult runProcess(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment, int timeoutMs)
{
    ProcessResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs))
        return result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(1000);
    }
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}
