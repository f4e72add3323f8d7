#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// How the updates of an installation ended, kept for the vendor's service
// (downloads/outcomes.json, the newest last, at most kKept of them). It
// names versions and reasons only: no paths, no user names.
class OutcomeRecord
{
public:
    static constexpr int kKept = 20;

    struct Entry
    {
        QString outcome; // "confirmed" or "rolledBack"
        QString reason;
        QString fromVersion;
        QString toVersion;
        qint64 serial = -1;
        QStringList ends; // the new version's abnormal ends, as "signal 6"
        QDateTime installedAt;
        QDateTime decidedAt;
    };

    explicit OutcomeRecord(QString path);

    // Adds `entry` unless the record holds it already: an ending cut short
    // is finished again at the next start.
    bool add(const Entry& entry);

private:
    QString m_path;
};
