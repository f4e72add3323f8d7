#include "cloudservice/Rollout.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>
#include <QtEndian>
#include <cmath>

namespace {

bool readShare(const QJsonValue& value, int& share)
{
    return value.isDouble() && Rollout::shareOf(value.toDouble(), share);
}

QString percentText(int share)
{
    return QString::number(share / 100.0, 'f', share % 100 ? 2 : 0);
}

QString isoText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

} // namespace

bool Rollout::parse(const QJsonValue& value, Rollout& rollout, const QString& where,
                    QString& errorText)
{
    if (value.isUndefined())
        return true;
    const QString place = where + ": \"rollout\"";
    if (!value.isObject()) {
        errorText = place + " must be an object with \"percent\" or \"steps\"";
        return false;
    }
    const QJsonObject object = value.toObject();
    Rollout parsed;
    parsed.m_set = true;
    const QJsonValue mandatoryToo = object.value("mandatoryToo");
    if (!mandatoryToo.isUndefined() && !mandatoryToo.isBool()) {
        errorText = place + ": \"mandatoryToo\" must be true or false";
        return false;
    }
    parsed.m_mandatoryToo = mandatoryToo.toBool(false);
    const bool hasPercent = object.contains("percent");
    if (hasPercent == object.contains("steps")) {
        errorText = place + " must have either \"percent\" or \"steps\"";
        return false;
    }
    if (hasPercent && !readShare(object.value("percent"), parsed.m_share)) {
        errorText = place + ": \"percent\" must be a number from 0 to 100 with at most two "
                            "decimals";
        return false;
    }
    if (!hasPercent && !parsed.parseSteps(object, place, errorText))
        return false;
    rollout = parsed;
    return true;
}

bool Rollout::parseSteps(const QJsonObject& object, const QString& place, QString& errorText)
{
    const QJsonArray steps = object.value("steps").toArray();
    if (!object.value("steps").isArray() || steps.isEmpty()) {
        errorText = place + ": \"steps\" must be a non-empty array of percents";
        return false;
    }
    for (int i = 0; i < steps.size(); ++i) {
        int share = 0;
        if (!readShare(steps.at(i), share)) {
            errorText = QString("%1: steps[%2] must be a number from 0 to 100 with at most two "
                                "decimals")
                            .arg(place)
                            .arg(i);
            return false;
        }
        if (!m_steps.isEmpty() && share < m_steps.last()) {
            errorText = QString("%1: steps[%2] is below the step before it; steps never go "
                                "down")
                            .arg(place)
                            .arg(i);
            return false;
        }
        m_steps.append(share);
    }
    const double interval = object.value("intervalSeconds").toDouble(-1);
    if (interval < 1 || interval != std::floor(interval) || interval > 1e12) {
        errorText = place + ": \"intervalSeconds\" must be a whole number of seconds above 0";
        return false;
    }
    m_intervalSeconds = qint64(interval);
    const QDateTime start = QDateTime::fromString(object.value("start").toString(), Qt::ISODate);
    if (!start.isValid() || start.timeSpec() == Qt::LocalTime) {
        errorText = place + ": \"start\" must be an ISO 8601 time with its zone, e.g. "
                            "\"2026-12-09T08:00:00Z\"";
        return false;
    }
    m_startMs = start.toMSecsSinceEpoch();
    return true;
}

bool Rollout::shareOf(double percent, int& share)
{
    // Held exactly as hundredths, so that every instance draws the same line.
    const double hundredths = percent * 100;
    const double whole = std::round(hundredths);
    if (!(std::abs(hundredths - whole) <= 1e-6) || whole < 0 || whole > everyone)
        return false;
    share = int(whole);
    return true;
}

int Rollout::bucket(const QString& installationId, const QString& softwareRoot,
                    const QString& versionType, const QString& version)
{
    const QString text = installationId + '\n' + softwareRoot + '\n' + versionType + '\n' + version;
    const QByteArray digest = QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256);
    return int(qFromBigEndian<quint64>(digest.constData()) % quint64(everyone));
}

int Rollout::shareAt(qint64 nowMs) const
{
    if (!m_set)
        return everyone;
    if (m_steps.isEmpty())
        return m_share;
    // Before the start nothing is offered: a rollout planned ahead stays shut.
    if (nowMs < m_startMs)
        return 0;
    const qint64 step = (nowMs - m_startMs) / (m_intervalSeconds * 1000);
    return m_steps.at(int(qMin<qint64>(step, m_steps.size() - 1)));
}

QString Rollout::describe(qint64 nowMs) const
{
    if (!m_set)
        return "none (offered to every installation)";
    QString text = percentText(shareAt(nowMs)) + "% now";
    if (!m_steps.isEmpty()) {
        QStringList steps;
        for (const int step : m_steps)
            steps << percentText(step);
        text += QString(", steps %1%, one every %2 s from %3")
                    .arg(steps.join("%, "))
                    .arg(m_intervalSeconds)
                    .arg(isoText(m_startMs));
    }
    return m_mandatoryToo ? text + ", mandatory releases too" : text;
}

Rollout Rollout::fixed(int share, bool mandatoryToo)
{
    Rollout rollout;
    rollout.m_set = true;
    rollout.m_share = share;
    rollout.m_mandatoryToo = mandatoryToo;
    return rollout;
}

Rollout Rollout::stepped(const QVector<int>& steps, qint64 startMs, qint64 intervalSeconds,
                         bool mandatoryToo)
{
    Rollout rollout = fixed(everyone, mandatoryToo);
    rollout.m_steps = steps;
    rollout.m_startMs = startMs;
    rollout.m_intervalSeconds = intervalSeconds;
    return rollout;
}

QJsonObject Rollout::toJson() const
{
    QJsonObject object;
    if (m_steps.isEmpty()) {
        object.insert("percent", m_share / 100.0);
    } else {
        QJsonArray steps;
        for (const int step : m_steps)
            steps.append(step / 100.0);
        object.insert("steps", steps);
        object.insert("start", isoText(m_startMs));
        object.insert("intervalSeconds", m_intervalSeconds);
    }
    if (m_mandatoryToo)
        object.insert("mandatoryToo", true);
    return object;
}
