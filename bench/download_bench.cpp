// Downloads one URL with DownloadFileNet and prints throughput and peak memory.
//   download_bench URL FILE

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
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: download_bench URL FILE\n");
        return 2;
    }
    DownloadFileNet download;
    download.setShowProgress(false);
    download.setFilePath(arguments.at(2));
    QElapsedTimer timer;
    timer.start();
    download.download(QUrl(arguments.at(1)));
    const double seconds = timer.nsecsElapsed() / 1e9;
    const QFileInfo file(arguments.at(2));
    if (!file.isFile()) {
        std::fprintf(stderr, "download failed\n");
        return 1;
    }
    std::printf("DownloadFileNet %lld bytes, %.3f s, %.0f MB/s, peak RSS %ld KiB\n",
                static_cast<long long>(file.size()), seconds, file.size() / seconds / 1e6,
                peakRssKiB());
    return 0;
}
