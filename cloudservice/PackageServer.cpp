#include "cloudservice/PackageServer.h"

#include <QFile>
#include <QtDebug>
#include <chrono>
#include <fstream>
#include <httplib.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr unsigned long long chunkSize = 1024 * 1024;

struct ByteRange
{
    unsigned long long start = 0;
    unsigned long long length = 0;
};

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
    std::error_code error;
    const unsigned long long size = std::filesystem::file_size(file, error);
    if (error) {
        response.status = 404;
        return;
    }
    response.set_header("Accept-Ranges", "bytes");

    // Ranges are answered here, so the library must not apply them a second
    // time to the slice handed to it. Several ranges are answered with the
    // whole file, which HTTP allows.
    const bool oneRange = request.ranges.size() == 1;
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
        [transfer, file, start, rate, failAfter](size_t offset, size_t remaining,
                                                 httplib::DataSink& sink) {
            size_t count = std::min(remaining, transfer->buffer.size());
            if (failAfter >= 0) {
                if (static_cast<long long>(offset) >= failAfter) {
                    qInfo().noquote()
                        << QString("Package %1: connection dropped after %2 bytes as asked")
                               .arg(displayName(file))
                               .arg(offset);
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
            if (!sink.write(transfer->buffer.data(), count))
                return false;
            if (rate) {
                const auto due = std::chrono::microseconds((offset + count) * 1000000ULL / rate);
                std::this_thread::sleep_until(transfer->begun + due);
            }
            return true;
        });
}
