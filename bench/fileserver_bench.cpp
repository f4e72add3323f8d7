// Serves the files of one folder under "/packages/" on 127.0.0.1, with
// Content-Length and byte ranges, reading them in 1 MiB pieces. Prints the
// port it listens on, then serves until killed.
//   fileserver_bench FOLDER

#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPiece = 1024 * 1024;

bool isPlainName(const std::string& name)
{
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

void serveFile(const fs::path& folder, const httplib::Request& request, httplib::Response& response)
{
    const std::string name = request.matches[1];
    std::error_code error;
    const fs::path file = folder / name;
    if (!isPlainName(name) || !fs::is_regular_file(file, error)) {
        response.status = 404;
        return;
    }
    auto stream = std::make_shared<std::ifstream>(file, std::ios::binary);
    auto buffer = std::make_shared<std::vector<char>>(kPiece);
    response.set_content_provider(
        fs::file_size(file), "application/octet-stream",
        [stream, buffer](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            stream->seekg(static_cast<std::streamoff>(offset));
            stream->read(buffer->data(), static_cast<std::streamsize>(std::min(length, kPiece)));
            const std::streamsize got = stream->gcount();
            return got > 0 && sink.write(buffer->data(), static_cast<std::size_t>(got));
        });
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    httplib::Server server;
    server.Get(R"(/packages/([^/]+))",
               [folder](const httplib::Request& request, httplib::Response& response) {
                   serveFile(folder, request, response);
               });
    const int port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0)
        return 1;
    std::printf("%d\n", port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
