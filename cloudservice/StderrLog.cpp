#include "cloudservice/StderrLog.h"

#include <QString>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

// A log nobody reads (a full pipe) holds the service up, as a direct write
// would, instead of filling the memory.
constexpr size_t maximumPending = 4 * 1024 * 1024;

// "yyyy-MM-dd hh:mm:ss.zzz " in local time. The date part is worked out once
// a second per thread: the C library's local time conversion takes a
// process-wide lock.
void appendTimestamp(QByteArray& line)
{
    thread_local time_t cachedSecond = -1;
    thread_local char cachedText[32] = {};
    const auto now = std::chrono::system_clock::now();
    const time_t second = std::chrono::system_clock::to_time_t(now);
    if (second != cachedSecond) {
        tm local{};
#ifdef _WIN32
        localtime_s(&local, &second);
#else
        localtime_r(&second, &local);
#endif
        std::strftime(cachedText, sizeof cachedText, "%Y-%m-%d %H:%M:%S", &local);
        cachedSecond = second;
    }
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    char text[8];
    std::snprintf(text, sizeof text, ".%03d ", int(millis));
    line.append(cachedText).append(text);
}

void writeAll(const std::string& text)
{
    const char* data = text.data();
    size_t size = text.size();
    while (size > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere left to report it
        data += written;
        size -= size_t(written);
    }
}

void handleMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    StderrLog::writeLine(message.toUtf8());
}

} // namespace

StderrLog::StderrLog() : m_thread([this] { run(); }) {}

StderrLog::~StderrLog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

StderrLog& StderrLog::instance()
{
    static StderrLog log;
    return log;
}

void StderrLog::install()
{
    instance();
    qInstallMessageHandler(handleMessage);
}

void StderrLog::writeLine(const QByteArray& message)
{
    QByteArray line;
    line.reserve(message.size() + 32);
    appendTimestamp(line);
    line.append(message).append('\n');
    instance().add(line);
}

void StderrLog::flush()
{
    instance().waitUntilWritten();
}

void StderrLog::add(const QByteArray& line)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending.size() < maximumPending; });
    const bool wasEmpty = m_pending.empty();
    m_pending.append(line.constData(), size_t(line.size()));
    if (wasEmpty)
        m_changed.notify_all();
}

void StderrLog::waitUntilWritten()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending.empty() && !m_writing; });
}

void StderrLog::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_pending.empty() || m_stopping; });
        if (m_pending.empty())
            return;
        std::string batch;
        batch.swap(m_pending);
        m_writing = true;
        lock.unlock();
        writeAll(batch);
        lock.lock();
        m_writing = false;
        // For the loggers waiting for room and for flush().
        m_changed.notify_all();
    }
}
