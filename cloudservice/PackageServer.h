#pragma once

#include <QString>
#include <filesystem>
#include <string>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

// Serves the files of one folder below "/packages/", streamed from disk in
// bounded chunks so that memory stays flat whatever the package size, with
// Content-Length and single byte ranges. A strong ETag and Last-Modified let
// a client that kept part of a file ask for the rest with If-Range, and get
// the whole file instead once it has changed.
class PackageServer
{
public:
    struct Limits
    {
        long long throttleKbps = 0;      // 0: unlimited
        long long failPackageAfter = -1; // -1: never drop the connection
    };

    PackageServer(const QString& folder, const Limits& limits);

    bool isValid() const { return !m_root.empty(); }
    // `relative` is the request path after "/packages/", already URL-decoded.
    void serve(const std::string& relative, const httplib::Request& request,
               httplib::Response& response) const;

private:
    int resolve(const std::string& relative, std::filesystem::path& file) const;
    void provide(const std::filesystem::path& file, unsigned long long start,
                 unsigned long long length, httplib::Response& response) const;

    std::filesystem::path m_root;
    Limits m_limits;
};
