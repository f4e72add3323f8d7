#include "cloudservice/ReportWriter.h"

#include "cloudservice/CatalogFile.h"
#include "cloudservice/HaltedReleases.h"
#include "cloudservice/ReportDatabase.h"
#include "cloudservice/Rollout.h"

#include <QDateTime>
#include <QSet>
#include <QtDebug>
#include <chrono>

namespace {

constexpr auto flushInterval = std::chrono::milliseconds(500);
constexpr auto refreshInterval = std::chrono::seconds(1);
constexpr int flushAt = 500;

QString percentText(int share)
{
    return QString::number(share / 100.0, 'g', 4) + '%';
}

} // namespace

ReportWriter::ReportWriter(const QString& databaseUrl, CatalogFile& catalog, HaltedReleases& halted)
    : m_databaseUrl(databaseUrl), m_catalog(catalog), m_halted(halted)
{}

ReportWriter::~ReportWriter()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

bool ReportWriter::start(QString& errorText)
{
    ReportDatabase database;
    QSet<QString> halted;
    if (!database.open(m_databaseUrl, errorText) || !database.haltedReleases(halted, errorText))
        return false;
    // Before the first answer, so that a halt outlives a restart.
    m_halted.replace(std::move(halted));
    m_thread = std::thread([this] { run(); });
    return true;
}

bool ReportWriter::add(const QVector<OutcomeReport>& reports)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_waiting.size() + reports.size() > maximumWaiting)
            return false;
        m_waiting += reports;
        if (m_waiting.size() < flushAt)
            return true;
    }
    m_wake.notify_one();
    return true;
}

void ReportWriter::run()
{
    std::unique_ptr<ReportDatabase> database;
    auto nextRefresh = std::chrono::steady_clock::now();
    bool stopping = false;
    while (!stopping) {
        QVector<OutcomeReport> batch;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_for(lock, flushInterval,
                            [this] { return m_stopping || m_waiting.size() >= flushAt; });
            batch.swap(m_waiting);
            stopping = m_stopping;
        }
        const bool wasConnected = database != nullptr;
        if (!connected(database) ||
            (!batch.isEmpty() && !(store(*database, batch) && applyHaltRule(*database, batch)))) {
            keepForLater(batch, stopping || (!wasConnected && database));
            database.reset();
            continue;
        }
        if (std::chrono::steady_clock::now() >= nextRefresh) {
            nextRefresh = std::chrono::steady_clock::now() + refreshInterval;
            if (!refreshHalted(*database))
                database.reset();
        }
    }
}

void ReportWriter::keepForLater(const QVector<OutcomeReport>& batch, bool giveUp)
{
    // A batch that fails on a connection that works would fail forever and
    // hold every later one up; one kept through an outage is stored after it.
    if (giveUp) {
        if (!batch.isEmpty())
            qInfo().noquote() << QString("%1 outcome reports dropped, the database did not take "
                                         "them")
                                     .arg(batch.size());
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting = batch + m_waiting;
}

bool ReportWriter::connected(std::unique_ptr<ReportDatabase>& database)
{
    if (database)
        return true;
    auto fresh = std::make_unique<ReportDatabase>();
    QString errorText;
    if (!fresh->open(m_databaseUrl, errorText)) {
        qInfo().noquote() << "Outcome reports wait, the database cannot be reached: " + errorText;
        std::this_thread::sleep_for(refreshInterval);
        return false;
    }
    database = std::move(fresh);
    return true;
}

bool ReportWriter::store(ReportDatabase& database, const QVector<OutcomeReport>& batch)
{
    QString errorText;
    if (database.insert(batch, errorText))
        return true;
    qInfo().noquote() << QString("%1 outcome reports not stored yet, trying again: %2")
                             .arg(batch.size())
                             .arg(errorText);
    return false;
}

bool ReportWriter::applyHaltRule(ReportDatabase& database, const QVector<OutcomeReport>& batch)
{
    QSet<QString> seen;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const OutcomeReport& report : batch) {
        const QString key =
            HaltedReleases::key(report.softwareRoot, report.versionType, report.toVersion);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        if (!haltIfDue(database, report.softwareRoot, report.versionType, report.toVersion, now))
            return false;
    }
    return true;
}

bool ReportWriter::haltIfDue(ReportDatabase& database, const QString& root, const QString& type,
                             const QString& version, qint64 nowMs)
{
    const auto catalog = m_catalog.current().catalog;
    const ReleaseCatalog::Release* release = catalog->find(root, type, version);
    if (!release)
        return true; // nothing to withhold
    ReportDatabase::State state;
    ReportDatabase::Counts counts;
    QString errorText;
    if (!database.state(root, type, version, state, errorText) ||
        (!state.halted &&
         !database.counts(root, type, version, state.resumedMs, counts, errorText))) {
        qInfo().noquote() << "Halt rule not applied: " + errorText;
        return false;
    }
    const ReleaseCatalog::HaltRule& rule = release->halt;
    if (state.halted || counts.installations < rule.minimumInstallations ||
        counts.bad * Rollout::everyone < rule.share * counts.installations)
        return true;
    const QString reason =
        QString("%1 of %2 installations had it fail or taken back (the rule: %3 of at least %4)")
            .arg(counts.bad)
            .arg(counts.installations)
            .arg(percentText(rule.share))
            .arg(rule.minimumInstallations);
    if (!database.halt(root, type, version, reason, nowMs, errorText)) {
        qInfo().noquote() << "Halt not stored: " + errorText;
        return false;
    }
    qInfo().noquote() << QString("Release %1/%2 %3 halted: %4").arg(root, type, version, reason);
    return refreshHalted(database);
}

bool ReportWriter::refreshHalted(ReportDatabase& database)
{
    QSet<QString> halted;
    QString errorText;
    if (!database.haltedReleases(halted, errorText)) {
        qInfo().noquote() << "Halted releases not read: " + errorText;
        return false;
    }
    m_halted.replace(std::move(halted));
    return true;
}
