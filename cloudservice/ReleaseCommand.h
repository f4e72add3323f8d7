#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class ReleaseCatalog;

// `cloudservice release show|rollout|halt|resume`: the vendor's look at one
// release and its levers. A rollout is written into the catalog file, which
// running instances re-read by themselves; a halt or resume goes to the
// database, which they read once a second.
class ReleaseCommand
{
public:
    // Exit codes as the service's: 0 done, 1 unusable catalog, database or
    // release, 2 wrong command line.
    static int run(const QStringList& arguments);
    static QString helpText();

private:
    bool parse(const QStringList& arguments, QString& errorText);
    bool parseRollout(const QString& name, const QString& value, QString& errorText);
    int execute();
    int show(const ReleaseCatalog& catalog);
    int rollout();
    int setHalted(bool halted);

    QString m_action;
    QString m_catalogFile;
    QString m_databaseUrl;
    QString m_root;
    QString m_type;
    QString m_version;
    QString m_reason;
    int m_percent = -1; // hundredths; -1: not given
    QVector<int> m_steps;
    qint64 m_intervalSeconds = 0;
    qint64 m_startMs = -1;
    bool m_mandatoryToo = false;
};
