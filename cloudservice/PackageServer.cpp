#include "cloudservice/PackageServer.h"

#include <QFile>
#include <QtDebug>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <httplib.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr unsigned long long chunkSize = 1024 * 1024;

struct ByteRange
{
    unsigned long long start = 0;
    unsigned long long length = 0;
};

// What tells a client whether the file is still the one a part it kept came
// from.
struct FileVersion
{
    unsigned long long size = 0;
    std::string etag;
    std::string lastModified;
};

// The fixed English form HTTP wants, whatever the locale the service runs in.
std::string httpDate(time_t time)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &time);
#else
    gmtime_r(&time, &utc);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday],
                  utc.tm_mday, months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    return text;
}

// The ETag is strong: it changes with the size, the modification time to
// the nanosecond and the inode, so also when a copy of the same size and
// time is renamed over the file.
#ifdef _WIN32
// Windows has neither inodes nor stat to the nanosecond: the file index and
// the last write time, in 100 ns steps since 1601, stand in for them.
bool versionOf(const std::filesystem::path& file, FileVersion& version)
{
    const HANDLE handle = CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    const auto join = [](DWORD high, DWORD low) {
        return (static_cast<unsigned long long>(high) << 32) | low;
    };
    const unsigned long long ticks =
        join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
    version.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    char etag[80];
    std::snprintf(etag, sizeof etag, "\"%llx-%llx-%llx\"", version.size, ticks * 100,
                  join(info.nFileIndexHigh, info.nFileIndexLow));
    version.etag = etag;
    // 1970 came 11644473600 s after 1601.
    version.lastModified = httpDate(static_cast<time_t>(ticks / 10000000ULL - 11644473600ULL));
    return known;
}
#else
bool versionOf(const std::filesystem::path& file, FileVersion& version)
{
    struct stat info = {};
    if (::stat(file.c_str(), &info) != 0)
        return false;
    const auto modified = static_cast<unsigned long long>(info.st_mtim.tv_sec) * 1000000000ULL +
                          static_cast<unsigned long long>(info.st_mtim.tv_nsec);
    version.size = static_cast<unsigned long long>(info.st_size);
    char etag[80];
    std::snprintf(etag, sizeof etag, "\"%llx-%llx-%llx\"", version.size, modified,
                  static_cast<unsigned long long>(info.st_ino));
    version.etag = etag;
    version.lastModified = httpDate(info.st_mtim.tv_sec);
    return true;
}
#endif

// If-Range asks for the range only while the file is the one the client's
// part came from; for any other file it wants the whole.
bool rangeStillApplies(const httplib::Request& request, const FileVersion& version)
{
    if (!request.has_header("If-Range"))
        return true;
    const std::string validator = request.get_header_value("If-Range");
    return validator == version.etag || validator == version.lastModified;
}

bool hasParentStep(const std::string& relative)
{
    size_t begin = 0;
    while (begin <= relative.size()) {
        size_t end = relative.find_first_of("/\\", begin);
        if (end == std::string::npos)
            end = relative.size();
        if (relative.compare(begin, end - begin, "..") == 0)
            return true;
        begin = end + 1;
    }
    return false;
}

bool isInside(const std::filesystem::path& file, const std::filesystem::path& root)
{
    auto fileIt = file.begin();
    for (auto rootIt = root.begin(); rootIt != root.end(); ++rootIt, ++fileIt) {
        if (fileIt == file.end() || *fileIt != *rootIt)
            return false;
    }
    return true;
}

// The one range asked for, clamped to the file; false when none of it lies
// within the file. httplib 0.11 passes ranges beyond the end unclamped, so
// they are resolved here.
bool resolveRange(const std::pair<ssize_t, ssize_t>& asked, unsigned long long size,
                  ByteRange& range)
{
    if (asked.first < 0) {
        const auto suffix = static_cast<unsigned long long>(asked.second);
        if (asked.second <= 0 || size == 0)
            return false;
        range.length = std::min(suffix, size);
        range.start = size - range.length;
        return true;
    }
    const auto first = static_cast<unsigned long long>(asked.first);
    if (first >= size)
        return false;
    unsigned long long last = size - 1;
    if (asked.second >= 0)
        last = std::min(last, static_cast<unsigned long long>(asked.second));
    if (last < first)
        return false;
    range.start = first;
    range.length = last - first + 1;
    return true;
}

std::string contentType(const std::filesystem::path& file)
{
    return file.extension() == ".zip" ? "application/zip" : "application/octet-stream";
}

QString displayName(const std::filesystem::path& file)
{
    return QFile::decodeName(QByteArray::fromStdString(file.string()));
}

// The request line logged afterwards gives the length the answer announced;
// this gives what was sent of it.
void logEndedEarly(const std::filesystem::path& file, const char* how, size_t sent,
                   unsigned long long length)
{
    qInfo().noquote() << QString("Package %1: %2 after %3 of %4 bytes")
                             .arg(displayName(file), how)
                             .arg(sent)
                             .arg(length);
}

} // namespace

PackageServer::PackageServer(const QString& folder, const Limits& limits) : m_limits(limits)
{
    std::error_code error;
    const std::filesystem::path path(QFile::encodeName(folder).toStdString());
    if (std::filesystem::is_directory(path, error))
        m_root = std::filesystem::canonical(path, error);
    if (error)
        m_root.clear();
}

void PackageServer::serve(const std::string& relative, const httplib::Request& request,
                          httplib::Response& response) const
{
    std::filesystem::path file;
    response.status = resolve(relative, file);
    if (response.status != 200)
        return;
    FileVersion version;
    if (!versionOf(file, version)) {
        response.status = 404;
        return;
    }
    const unsigned long long size = version.size;
    response.set_header("Accept-Ranges", "bytes");
    response.set_header("ETag", version.etag);
    response.set_header("Last-Modified", version.lastModified);

    // Ranges are answered here, so the library must not apply them a second
    // time to the slice handed to it. Several ranges are answered with the
    // whole file, which HTTP allows.
    const bool oneRange = request.ranges.size() == 1 && rangeStillApplies(request, version);
    const auto asked = oneRange ? request.ranges.front() : std::pair<ssize_t, ssize_t>();
    const_cast<httplib::Request&>(request).ranges.clear();

    ByteRange range{0, size};
    if (oneRange) {
        if (!resolveRange(asked, size, range)) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(size));
            return;
        }
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(range.start) + "-" +
                                                 std::to_string(range.start + range.length - 1) +
                                                 "/" + std::to_string(size));
    }
    if (range.length == 0)
        response.set_content(std::string(), contentType(file));
    else
        provide(file, range.start, range.length, response);
}

int PackageServer::resolve(const std::string& relative, std::filesystem::path& file) const
{
    if (m_root.empty())
        return 404;
    if (relative.empty() || relative.find('\0') != std::string::npos)
        return 404;
    if (hasParentStep(relative) || relative.front() == '/' || relative.front() == '\\')
        return 403;
    std::error_code error;
    // Resolving links as well keeps a link inside the folder from reaching
    // files outside it.
    file = std::filesystem::canonical(m_root / relative, error);
    if (error)
        return 404;
    if (!isInside(file, m_root))
        return 403;
    return std::filesystem::is_regular_file(file, error) ? 200 : 404;
}

void PackageServer::provide(const std::filesystem::path& file, unsigned long long start,
                            unsigned long long length, httplib::Response& response) const
{
    struct Transfer
    {
        std::ifstream stream;
        std::vector<char> buffer;
        std::chrono::steady_clock::time_point begun = std::chrono::steady_clock::now();
    };
    auto transfer = std::make_shared<Transfer>();
    transfer->stream.open(file, std::ios::binary);
    if (!transfer->stream) {
        qInfo().noquote() << QString("Package %1 cannot be opened").arg(displayName(file));
        response.status = 500;
        return;
    }
    const unsigned long long rate = static_cast<unsigned long long>(m_limits.throttleKbps) * 1024;
    const unsigned long long chunk = rate ? std::clamp(rate / 20, 1ULL, chunkSize) : chunkSize;
    transfer->buffer.resize(static_cast<size_t>(std::min(chunk, length)));
    const long long failAfter = m_limits.failPackageAfter;

    response.set_content_provider(
        static_cast<size_t>(length), contentType(file),
        [transfer, file, start, length, rate, failAfter](size_t offset, size_t remaining,
                                                         httplib::DataSink& sink) {
            size_t count = std::min(remaining, transfer->buffer.size());
            if (failAfter >= 0) {
                if (static_cast<long long>(offset) >= failAfter) {
                    logEndedEarly(file, "connection dropped as asked", offset, length);
                    return false;
                }
                count = std::min(count, static_cast<size_t>(failAfter - offset));
            }
            transfer->stream.seekg(static_cast<std::streamoff>(start + offset));
            if (!transfer->stream.read(transfer->buffer.data(),
                                       static_cast<std::streamsize>(count))) {
                qInfo().noquote() << QString("Package %1: read failed at byte %2")
                                         .arg(displayName(file))
                                         .arg(start + offset);
                return false;
            }
            if (!sink.write(transfer->buffer.data(), count)) {
                logEndedEarly(file, "the client went away", offset, length);
                return false;
            }
            if (rate) {
                const auto due = std::chrono::microseconds((offset + count) * 1000000ULL / rate);
                std::this_thread::sleep_until(transfer->begun + due);
            }
            return true;
        });
}
