#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throw-away application folder: a copy of an executable, its config.ini and
// config/system.ini, and whatever else a test puts there.
class TempInstallation
{
public:
    // In the system's temporary folder, or below `parent` (a small disk, say).
    explicit TempInstallation(const QString& parent = QString());

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& relative) const;

    // Copies `executable` into the folder, under `name` when given.
    QString installExecutable(const QString& executable, const QString& name = QString());
    void writeFile(const QString& relative, const QByteArray& content);
    QByteArray readFile(const QString& relative) const;
    // Writes one INI value the way the updater reads it (UTF-8 codec).
    void setIni(const QString& relative, const QString& group, const QString& key,
                const QString& value);
    QString ini(const QString& relative, const QString& group, const QString& key) const;

private:
    QTemporaryDir m_dir;
};

struct ProcessResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};

// Runs `program` to its end (at most `timeoutMs`) and returns what it did.
ProcessResult
runProcess(const QString& program, const QStringList& arguments,
           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
           int timeoutMs = 30000);
