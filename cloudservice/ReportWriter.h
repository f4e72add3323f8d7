#pragma once

#include "cloudservice/OutcomeReport.h"

#include <QString>
#include <QVector>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class CatalogFile;
class HaltedReleases;
class ReportDatabase;

// Takes outcome reports from the request threads and stores them from a
// thread of its own with its own connection, many to one transaction, so
// that a burst of reports never holds a version check up. After each batch
// it applies the halt rule to the releases the batch touched, and once a
// second it reads which releases are halted, so that instances sharing a
// database agree within a second or two.
class ReportWriter
{
public:
    static constexpr int maximumWaiting = 10000;

    ReportWriter(const QString& databaseUrl, CatalogFile& catalog, HaltedReleases& halted);
    // Stores what is still waiting, then ends the thread.
    ~ReportWriter();

    // Makes the tables, reads the halted releases and starts the thread;
    // false with the reason when the database cannot be used.
    bool start(QString& errorText);
    // False, keeping nothing, when that many would pass the bound.
    bool add(const QVector<OutcomeReport>& reports);

private:
    void run();
    bool connected(std::unique_ptr<ReportDatabase>& database);
    void keepForLater(const QVector<OutcomeReport>& batch, bool giveUp);
    bool store(ReportDatabase& database, const QVector<OutcomeReport>& batch);
    bool applyHaltRule(ReportDatabase& database, const QVector<OutcomeReport>& batch);
    bool haltIfDue(ReportDatabase& database, const QString& root, const QString& type,
                   const QString& version, qint64 nowMs);
    bool refreshHalted(ReportDatabase& database);

    const QString m_databaseUrl;
    CatalogFile& m_catalog;
    HaltedReleases& m_halted;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    QVector<OutcomeReport> m_waiting;
    bool m_stopping = false;
    std::thread m_thread;
};
