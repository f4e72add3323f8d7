#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>

class QJsonValue;

// Which share of the installations a release is offered to: a fixed percent,
// or steps that grow with time. Each installation falls into a fixed bucket
// per release, so a growing share only ever adds installations.
class Rollout
{
public:
    static constexpr int everyone = 10000; // in hundredths of a percent

    // `value` is the release's "rollout" member; absent leaves it unset.
    static bool parse(const QJsonValue& value, Rollout& rollout, const QString& where,
                      QString& errorText);
    // 0 to 9999, the same for an installation and a release wherever it is
    // worked out, so that instances sharing a catalog agree.
    // A percent with at most two decimals as hundredths; false when it is
    // outside 0 to 100 or finer.
    static bool shareOf(double percent, int& share);
    static int bucket(const QString& installationId, const QString& softwareRoot,
                      const QString& versionType, const QString& version);

    bool isSet() const { return m_set; }
    bool coversMandatory() const { return m_mandatoryToo; }
    // Hundredths of a percent offered at `nowMs` (ms since the epoch).
    int shareAt(qint64 nowMs) const;
    QString describe(qint64 nowMs) const;

    static Rollout fixed(int share, bool mandatoryToo);
    static Rollout stepped(const QVector<int>& steps, qint64 startMs, qint64 intervalSeconds,
                           bool mandatoryToo);
    QJsonObject toJson() const;

private:
    bool parseSteps(const QJsonObject& object, const QString& where, QString& errorText);

    bool m_set = false;
    bool m_mandatoryToo = false;
    int m_share = everyone;
    QVector<int> m_steps;
    qint64 m_startMs = 0;
    qint64 m_intervalSeconds = 0;
};
