#pragma once

#include "cloudservice/OutcomeReport.h"
#include "cloudservice/RequestEnvelope.h"

#include <QVector>
#include <string>

class QJsonObject;

// The body of an outcome report request: the installation's root and type
// and up to 20 reports, each checked and bounded before anything is kept.
class ReportRequest
{
public:
    static constexpr int maximumReports = 20;

    // Success with `reports` filled, or the code and a message naming the
    // member at fault; nothing is kept from a request refused.
    static RequestEnvelope::Code parse(const std::string& body, const QString& installationId,
                                       qint64 receivedMs, QVector<OutcomeReport>& reports,
                                       QString& message);

private:
    static bool parseReport(const QJsonObject& object, OutcomeReport& report, QString& problem);
};
