// Times the checks a signed release passes before the updater offers it, as
// it does them once per offer: the pinned root read from disk, the release's
// signature, body and expiry, and the record of seen releases read and
// written. Prints the median of the runs.
//   verify_bench TRUST_FOLDER RELEASE_JSON SOFTWARE_ROOT VERSION_TYPE VERSION INSTALLED [RUNS]

#include "trust/ReleaseTrust.h"
#include "trust/SignedEnvelope.h"
#include "trust/SignedRelease.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 7) {
        std::fprintf(stderr, "usage: verify_bench TRUST_FOLDER RELEASE_JSON SOFTWARE_ROOT "
                             "VERSION_TYPE VERSION INSTALLED [RUNS]\n");
        return 2;
    }
    SignedEnvelope envelope;
    QString errorText;
    if (!SignedEnvelope::readFile(arguments.at(2), envelope, errorText)) {
        std::fprintf(stderr, "%s\n", qPrintable(errorText));
        return 1;
    }
    const ReleaseTrust::Offer offer{arguments.at(3), arguments.at(4),   arguments.at(6),
                                    arguments.at(5), envelope.toJson(), {}};
    ReleaseTrust trust(arguments.at(1));
    QVector<qint64> nanoseconds;
    for (int run = 0; run < arguments.value(7, "200").toInt(); ++run) {
        SignedRelease release;
        QElapsedTimer timer;
        timer.start();
        const TrustVerdict verdict = trust.verify(offer, QDateTime::currentDateTimeUtc(), release);
        nanoseconds.append(timer.nsecsElapsed());
        if (!verdict.passed()) {
            std::fprintf(stderr, "%s\n", qPrintable(verdict.text()));
            return 1;
        }
    }
    std::sort(nanoseconds.begin(), nanoseconds.end());
    std::printf("%.1f\n", nanoseconds.at(nanoseconds.size() / 2) / 1000.0);
    return 0;
}
