#include "service/OutcomeSender.h"

#include "fleet/OutcomeReport.h"
#include "health/OutcomeRecord.h"
#include "layout/InstallationLayout.h"
#include "service/BaseService.h"

void OutcomeSender::sendPending(const QString& applicationDir, const QString& softwareRoot,
                                const QString& versionType)
{
    const QString recordPath = layout::pathIn(applicationDir, layout::kOutcomeRecord);
    const OutcomeReport report(softwareRoot, versionType, OutcomeRecord(recordPath).unreported());
    if (report.isEmpty())
        return;
    const QStringList ids = report.ids();
    BaseService::instance()->postInBackground(OutcomeReport::kPath, report.body(), kTimeoutMs,
                                              [recordPath, ids](bool taken) {
                                                  if (taken)
                                                      OutcomeRecord(recordPath).markReported(ids);
                                              });
}
