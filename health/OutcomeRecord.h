#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QString>
#include <QStringList>

// How the updates of an installation ended, kept for the vendor's service
// (downloads/outcomes.json, the newest last, at most kKept of them). It
// names versions and reasons only: no paths, no user names. An entry not yet
// delivered to the service is marked so, and goes with the next report.
class OutcomeRecord
{
public:
    static constexpr int kKept = 20;

    struct Entry
    {
        // "awaitingConfirmation", "confirmed", "rolledBack" or "failed"
        QString outcome;
        QString reason;
        QString kind; // of a failure: "download", "noSpace", "damagedPackage", ...
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
    // The entries the service has not had yet, oldest first, each with its
    // own "id".
    QJsonArray unreported() const;
    bool markReported(const QStringList& ids);

private:
    bool save(const QJsonArray& entries) const;

    QString m_path;
};
