#pragma once

#include <QString>

// Delivers the outcomes an installation has not reported yet to the vendor's
// service, in the background and with a short time-out: a report never
// delays the user or a restart. What is not delivered stays in the record
// (the last 20 outcomes) and goes with the next check.
class OutcomeSender
{
public:
    static constexpr int kTimeoutMs = 3000;

    static void sendPending(const QString& applicationDir, const QString& softwareRoot,
                            const QString& versionType);
};
