#include "LocalHttpServer.h"

#include <httplib.h>

#include <cctype>
#include <chrono>

namespace {

void answerSuccess(const httplib::Request&, httplib::Response& response)
{
    response.set_content("{\"success\":true}", "application/json");
}

std::string lowered(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

QByteArray RecordedRequest::header(const std::string& name) const
{
    const auto found = headers.find(lowered(name));
    return found == headers.end() ? QByteArray() : QByteArray::fromStdString(found->second);
}

bool RecordedRequest::hasHeader(const std::string& name) const
{
    return headers.find(lowered(name)) != headers.end();
}

void Gate::wait()
{
    // Bounded, so that a test that forgets to open the gate cannot hang.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_opened.wait_for(lock, std::chrono::seconds(60), [this] { return m_open; });
}

void Gate::open()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
    }
    m_opened.notify_all();
}

LocalHttpServer::LocalHttpServer() : m_server(new httplib::Server), m_handler(answerSuccess) {}

LocalHttpServer::LocalHttpServer(const QString& certificatePath, const QString& keyPath)
    : m_server(new httplib::SSLServer(certificatePath.toLocal8Bit().constData(),
                                      keyPath.toLocal8Bit().constData())),
      m_handler(answerSuccess)
{}

LocalHttpServer::~LocalHttpServer()
{
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool LocalHttpServer::start()
{
    if (!m_server->is_valid())
        return false;
    const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
        this->serve(request, response);
    };
    const char* pattern = "/cloudService/.*";
    m_server->Get(pattern, serve);
    m_server->Post(pattern, serve);
    m_server->Put(pattern, serve);
    m_server->Delete(pattern, serve);
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0)
        return false;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    while (!m_server->is_running())
        std::this_thread::yield();
    return true;
}

QString LocalHttpServer::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

void LocalHttpServer::setHandler(Handler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

std::vector<RecordedRequest> LocalHttpServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void LocalHttpServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

void LocalHttpServer::serve(const httplib::Request& request, httplib::Response& response)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.path;
        recorded.params.insert(request.params.begin(), request.params.end());
        for (const auto& header : request.headers)
            recorded.headers.emplace(lowered(header.first), header.second);
        recorded.body = request.body;
        m_requests.push_back(std::move(recorded));
        handler = m_handler;
    }
    handler(request, response);
}
