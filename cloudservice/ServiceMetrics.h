#pragma once

#include "cloudservice/HaltedReleases.h"

#include <QHash>
#include <QString>
#include <array>
#include <atomic>
#include <mutex>
#include <string>

class ReleaseCatalog;

// What this instance counted since it started, and the state of the
// releases, in the Prometheus text format. Counting is a few atomic
// additions, safe from any thread.
class ServiceMetrics
{
public:
    void countCheck(double seconds, bool updateOffered);
    void countReport(const QString& root, const QString& type, const QString& version,
                     const QString& outcome);
    std::string render(const ReleaseCatalog& catalog, const HaltedReleases::Set& halted,
                       qint64 nowMs) const;

private:
    static constexpr std::array<double, 11> bounds{.0005, .001, .0025, .005, .01, .025,
                                                   .05,   .1,   .25,   .5,   1};

    std::atomic<unsigned long long> m_checks{0};
    std::atomic<unsigned long long> m_offers{0};
    std::array<std::atomic<unsigned long long>, bounds.size()> m_buckets{};
    std::atomic<unsigned long long> m_latencyNanoseconds{0};
    mutable std::mutex m_reportsMutex;
    QHash<QString, unsigned long long> m_reports; // label set -> count
};
