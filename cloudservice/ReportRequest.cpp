#include "cloudservice/ReportRequest.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <cmath>

namespace {

const int maximumReasonLength = 200;
const int maximumNameLength = 100;
const QStringList outcomes{"awaitingConfirmation", "confirmed", "rolledBack", "failed"};
const QStringList failureKinds{"download", "damagedPackage", "noSpace", "installation",
                               "notVerified"};

bool readName(const QJsonObject& object, const QString& key, bool required, QString& value,
              QString& problem)
{
    const QJsonValue member = object.value(key);
    if (!required && member.isUndefined())
        return true;
    value = member.toString();
    if (!member.isString() || (required && value.isEmpty()) || value.size() > maximumNameLength) {
        problem = QString("\"%1\" must be a%2 string of at most %3 characters")
                      .arg(key, required ? " non-empty" : "")
                      .arg(maximumNameLength);
        return false;
    }
    return true;
}

// Exit codes reach 0xFFFFFFFF on Windows and may be negative elsewhere.
bool readInteger(const QJsonObject& object, const QString& key, QVariant& value, QString& problem)
{
    const QJsonValue member = object.value(key);
    if (member.isUndefined())
        return true;
    const double number = member.toDouble(0.5);
    if (!member.isDouble() || number != std::floor(number) || std::abs(number) > 1e10) {
        problem = QString("\"%1\" must be a whole number").arg(key);
        return false;
    }
    value = qint64(number);
    return true;
}

} // namespace

RequestEnvelope::Code ReportRequest::parse(const std::string& body, const QString& installationId,
                                           qint64 receivedMs, QVector<OutcomeReport>& reports,
                                           QString& message)
{
    QJsonObject object;
    const RequestEnvelope::Code code = RequestEnvelope::parseBody(
        body, {"platformType", "softwareRoot", "versionType"}, object, message);
    if (code != RequestEnvelope::Success)
        return code;
    const QJsonArray list = object.value("reports").toArray();
    if (!object.value("reports").isArray() || list.size() > maximumReports) {
        message = QString("member \"reports\" must be an array of at most %1 reports")
                      .arg(maximumReports);
        return RequestEnvelope::BadMember;
    }
    OutcomeReport common;
    common.installationId = installationId;
    common.receivedMs = receivedMs;
    QString problem;
    if (!readName(object, "softwareRoot", true, common.softwareRoot, problem) ||
        !readName(object, "versionType", true, common.versionType, problem)) {
        message = problem;
        return RequestEnvelope::BadMember;
    }
    for (int i = 0; i < list.size(); ++i) {
        OutcomeReport report = common;
        if (!parseReport(list.at(i).toObject(), report, problem)) {
            message = QString("reports[%1]: %2").arg(i).arg(problem);
            return RequestEnvelope::BadMember;
        }
        reports.append(report);
    }
    return RequestEnvelope::Success;
}

bool ReportRequest::parseReport(const QJsonObject& object, OutcomeReport& report, QString& problem)
{
    static const QRegularExpression reportId("^[0-9a-f]{16}$");
    report.reportId = object.value("id").toString();
    if (!reportId.match(report.reportId).hasMatch()) {
        problem = "\"id\" must be 16 lowercase hex digits";
        return false;
    }
    report.outcome = object.value("outcome").toString();
    if (!outcomes.contains(report.outcome)) {
        problem = "\"outcome\" must be one of " + outcomes.join(", ");
        return false;
    }
    if (!readName(object, "toVersion", true, report.toVersion, problem) ||
        !readName(object, "fromVersion", false, report.fromVersion, problem))
        return false;
    const QDateTime at = QDateTime::fromString(object.value("at").toString(), Qt::ISODate);
    if (!at.isValid() || at.timeSpec() == Qt::LocalTime) {
        problem = "\"at\" must be an ISO 8601 time with its zone";
        return false;
    }
    report.atMs = at.toMSecsSinceEpoch();
    // Beyond what anyone reads; cut rather than refused, so a long message
    // does not cost the report.
    report.reason = object.value("reason").toString().left(maximumReasonLength);
    if (report.outcome == "failed") {
        report.kind = object.value("kind").toString();
        if (!failureKinds.contains(report.kind)) {
            problem = "a failed report's \"kind\" must be one of " + failureKinds.join(", ");
            return false;
        }
    }
    if (report.outcome != "rolledBack")
        return true;
    return readInteger(object, "exitCode", report.exitCode, problem) &&
           readInteger(object, "signal", report.signal, problem);
}
