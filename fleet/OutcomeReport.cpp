#include "fleet/OutcomeReport.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

// The last abnormal end as numbers: "exit code 3", "signal 11", or a Windows
// exception ("exception 0xC0000005"), which is the program's exit code.
void addEnd(const QJsonArray& ends, QJsonObject& report)
{
    static const QRegularExpression end(
        QStringLiteral("^(exit code|signal|exception) (-?[0-9]+|0x[0-9A-Fa-f]+)$"));
    const QRegularExpressionMatch match = end.match(ends.last().toString());
    if (!match.hasMatch())
        return;
    bool number = false;
    const qint64 code = match.captured(2).toLongLong(&number, 0);
    if (number)
        report.insert(match.captured(1) == "signal" ? "signal" : "exitCode", code);
}

// The service refuses a whole report for one entry it cannot take; an entry
// without its version or time (a record from an older updater) stays home.
bool isReportable(const QJsonObject& entry)
{
    return !entry.value("to").toString().isEmpty() &&
           QDateTime::fromString(entry.value("decidedAt").toString(), Qt::ISODateWithMs).isValid();
}

QJsonObject reportOf(const QJsonObject& entry)
{
    QJsonObject report{
        {"id", entry.value("id")},
        {"outcome", entry.value("outcome")},
        {"fromVersion", entry.value("from")},
        {"toVersion", entry.value("to")},
        {"reason", entry.value("reason").toString().left(OutcomeReport::kReasonCharacters)},
        {"at", entry.value("decidedAt")}};
    if (entry.contains("kind"))
        report.insert("kind", entry.value("kind"));
    const QJsonArray ends = entry.value("ends").toArray();
    if (entry.value("outcome") == QLatin1String("rolledBack") && !ends.isEmpty())
        addEnd(ends, report);
    return report;
}

} // namespace

OutcomeReport::OutcomeReport(QString softwareRoot, QString versionType, const QJsonArray& entries)
    : m_softwareRoot(std::move(softwareRoot)), m_versionType(std::move(versionType))
{
    for (const QJsonValue& entry : entries) {
        if (!isReportable(entry.toObject()))
            continue;
        m_reports.append(reportOf(entry.toObject()));
        m_ids.append(entry.toObject().value("id").toString());
    }
}

QByteArray OutcomeReport::body() const
{
    const QJsonObject body{{"platformType", "2"},
                           {"softwareRoot", m_softwareRoot},
                           {"versionType", m_versionType},
                           {"reports", m_reports}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}
