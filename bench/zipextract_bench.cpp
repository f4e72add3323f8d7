// Unpacks one archive with ZWZipExtract and prints the time and peak memory.
//   zipextract_bench ARCHIVE TARGET

#include "PeakRss.h"
#include "zlibwrap/ZLibWrap.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE TARGET\n", argv[0]);
        return 2;
    }
    const std::u16string archive = std::filesystem::path(argv[1]).u16string();
    const std::u16string target = std::filesystem::path(argv[2]).u16string();
    const auto start = std::chrono::steady_clock::now();
    const int result = ZWZipExtract(archive.c_str(), target.c_str());
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("ZWZipExtract result %d, %.3f s, peak RSS %ld KiB\n", result, elapsed.count(),
                peakRssKiB());
    return result != 0 ? 0 : 1;
}
