#pragma once

// An HTTP or HTTPS server on 127.0.0.1 running on its own thread inside the
// test process, so a client waiting in the GUI thread's event loop is served.
// Every request is recorded; the answer comes from the handler a test sets.

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

struct RecordedRequest
{
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> params;
    std::multimap<std::string, std::string> headers; // names in lower case
    std::string body;

    QByteArray header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

// Holds handlers back until the test lets them go.
class Gate
{
public:
    void wait();
    void open();

private:
    std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_open = false;
};

class LocalHttpServer
{
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Plain HTTP, or HTTPS with the given PEM files.
    LocalHttpServer();
    LocalHttpServer(const QString& certificatePath, const QString& keyPath);
    ~LocalHttpServer();

    bool start();
    int port() const { return m_port; }
    QString address() const; // "127.0.0.1:<port>"

    // Answers every request below "/cloudService/" with `handler`; the
    // default answers {"success":true}.
    void setHandler(Handler handler);
    std::vector<RecordedRequest> requests() const;
    void clearRequests();

private:
    void serve(const httplib::Request& request, httplib::Response& response);

    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = -1;
    mutable std::mutex m_mutex;
    Handler m_handler;
    std::vector<RecordedRequest> m_requests;
};
