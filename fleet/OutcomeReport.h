#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>

// The body of one report to the vendor's service: the installation's
// channel and the outcomes it has not delivered yet, each with the versions,
// the reason and, for a rollback, how the new version ended. No paths, user
// names or release notes.
class OutcomeReport
{
public:
    static constexpr char kPath[] = "/update/report";
    static constexpr int kReasonCharacters = 200;

    OutcomeReport(QString softwareRoot, QString versionType, const QJsonArray& entries);

    bool isEmpty() const { return m_reports.isEmpty(); }
    QByteArray body() const;
    // The record's ids of the entries carried, to mark once delivered.
    QStringList ids() const { return m_ids; }

private:
    QString m_softwareRoot;
    QString m_versionType;
    QJsonArray m_reports;
    QStringList m_ids;
};
