// Downloads one URL with DownloadFileNet and prints throughput and peak memory.
// With the signed length and SHA-256 the body is checked while it streams, as
// for a signed release. --retries N limits the retries within the download
// (bench/resume.sh cuts the connection itself and runs this once per cut; a
// later run resumes from the part the earlier one kept).
//   download_bench [--retries N] URL FILE [LENGTH SHA256]

#include "bench/PeakRss.h"
#include "download/DownloadFileNet.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    int retries = DownloadFileNet::kMaxRetries;
    if (arguments.size() > 2 && arguments.at(1) == QLatin1String("--retries")) {
        retries = arguments.at(2).toInt();
        arguments.erase(arguments.begin() + 1, arguments.begin() + 3);
    }
    if (arguments.size() != 3 && arguments.size() != 5) {
        std::fprintf(stderr, "usage: download_bench [--retries N] URL FILE [LENGTH SHA256]\n");
        return 2;
    }
    DownloadFileNet download;
    download.setShowProgress(false);
    download.setMaxRetries(retries);
    download.setFilePath(arguments.at(2));
    if (arguments.size() == 5)
        download.setExpectedContent(arguments.at(3).toLongLong(), arguments.at(4).toLatin1());
    QElapsedTimer timer;
    timer.start();
    download.download(QUrl(arguments.at(1)));
    const double seconds = timer.nsecsElapsed() / 1e9;
    const QFileInfo file(arguments.at(2));
    if (!download.outcome().complete() || !file.isFile()) {
        std::fprintf(stderr, "download failed: %s\n",
                     download.outcome().reason.toLocal8Bit().constData());
        return 1;
    }
    std::printf("DownloadFileNet %lld bytes, %.3f s, %.0f MB/s, peak RSS %ld KiB\n",
                static_cast<long long>(file.size()), seconds, file.size() / seconds / 1e6,
                peakRssKiB());
    return 0;
}
