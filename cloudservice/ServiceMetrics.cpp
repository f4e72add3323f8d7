#include "cloudservice/ServiceMetrics.h"

#include "cloudservice/ReleaseCatalog.h"

#include <QStringList>

namespace {

QString escaped(QString value)
{
    return value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
}

QString releaseLabels(const QString& root, const QString& type, const QString& version)
{
    return QString("softwareRoot=\"%1\",versionType=\"%2\",version=\"%3\"")
        .arg(escaped(root), escaped(type), escaped(version));
}

void header(QString& text, const char* name, const char* type, const char* help)
{
    text += QString("# HELP %1 %2\n# TYPE %1 %3\n").arg(name, help, type);
}

} // namespace

void ServiceMetrics::countCheck(double seconds, bool updateOffered)
{
    m_checks.fetch_add(1, std::memory_order_relaxed);
    if (updateOffered)
        m_offers.fetch_add(1, std::memory_order_relaxed);
    m_latencyNanoseconds.fetch_add((unsigned long long)(seconds * 1e9), std::memory_order_relaxed);
    for (size_t i = 0; i < bounds.size(); ++i) {
        if (seconds <= bounds[i]) {
            m_buckets[i].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
}

void ServiceMetrics::countReport(const QString& root, const QString& type, const QString& version,
                                 const QString& outcome)
{
    const QString labels =
        releaseLabels(root, type, version) + QString(",outcome=\"%1\"").arg(escaped(outcome));
    std::lock_guard<std::mutex> lock(m_reportsMutex);
    ++m_reports[labels];
}

std::string ServiceMetrics::render(const ReleaseCatalog& catalog, const HaltedReleases::Set& halted,
                                   qint64 nowMs) const
{
    QString text;
    header(text, "cloudservice_checks_total", "counter", "Version checks answered.");
    text += QString("cloudservice_checks_total %1\n").arg(m_checks.load());
    header(text, "cloudservice_updates_offered_total", "counter",
           "Version checks answered with an update to install.");
    text += QString("cloudservice_updates_offered_total %1\n").arg(m_offers.load());
    header(text, "cloudservice_reports_total", "counter", "Outcome reports accepted.");
    {
        std::lock_guard<std::mutex> lock(m_reportsMutex);
        for (auto it = m_reports.constBegin(); it != m_reports.constEnd(); ++it)
            text += QString("cloudservice_reports_total{%1} %2\n").arg(it.key()).arg(it.value());
    }
    header(text, "cloudservice_check_seconds", "histogram", "Time to answer a version check.");
    unsigned long long cumulative = 0;
    for (size_t i = 0; i < bounds.size(); ++i) {
        cumulative += m_buckets[i].load();
        text += QString("cloudservice_check_seconds_bucket{le=\"%1\"} %2\n")
                    .arg(bounds[i])
                    .arg(cumulative);
    }
    const unsigned long long count = m_checks.load();
    text += QString("cloudservice_check_seconds_bucket{le=\"+Inf\"} %1\n").arg(count);
    text += QString("cloudservice_check_seconds_sum %1\n").arg(m_latencyNanoseconds.load() / 1e9);
    text += QString("cloudservice_check_seconds_count %1\n").arg(count);

    QString rollout;
    QString halt;
    header(rollout, "cloudservice_rollout_percent", "gauge",
           "Share of installations offered a release with a rollout, now.");
    header(halt, "cloudservice_release_halted", "gauge",
           "1 when a release is offered to no one, halted by hand or by reports.");
    for (auto root = catalog.channels().constBegin(); root != catalog.channels().constEnd();
         ++root) {
        for (auto type = root->constBegin(); type != root->constEnd(); ++type) {
            for (const ReleaseCatalog::Release& release : type->releases) {
                const QString labels = releaseLabels(root.key(), type.key(), release.version);
                const bool isHalted =
                    release.halted ||
                    halted->contains(HaltedReleases::key(root.key(), type.key(), release.version));
                halt += QString("cloudservice_release_halted{%1} %2\n")
                            .arg(labels)
                            .arg(isHalted ? 1 : 0);
                if (release.rollout.isSet())
                    rollout += QString("cloudservice_rollout_percent{%1} %2\n")
                                   .arg(labels)
                                   .arg(release.rollout.shareAt(nowMs) / 100.0);
            }
        }
    }
    return (text + rollout + halt).toStdString();
}
