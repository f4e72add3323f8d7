// Applies an unpacked delta to an installation, as the updater does, and
// prints the time and the most anonymous memory seen: the old files are
// mapped, so the resident set counts them, the anonymous part does not.
//   delta_bench DELTA_FOLDER INSTALLATION TARGET

#include "PeakRss.h"
#include "delta/DeltaApplier.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DELTA_FOLDER INSTALLATION TARGET\n", argv[0]);
        return 2;
    }
    std::atomic<bool> done{false};
    std::atomic<long> most{statusKiB("RssAnon:")};
    // Sampled: the kernel keeps no peak of the anonymous part alone.
    std::thread sampler([&] {
        while (!done) {
            most = std::max(most.load(), statusKiB("RssAnon:"));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const DeltaResult result = DeltaApplier(argv[1], argv[2], argv[3]).apply();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    done = true;
    sampler.join();
    std::printf("apply %.2f s, anonymous %ld MiB%s%s\n", elapsed.count(), most.load() / 1024,
                result.applied() ? "" : ", failed: ", qPrintable(result.reason));
    return result.applied() ? 0 : 1;
}
