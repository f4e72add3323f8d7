#pragma once

#include <QByteArray>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Standard error as the service's log, one timestamped line per message.
// Whoever logs only formats its line and appends it to a buffer; a thread of
// the log's own writes the buffer out, so no request waits for another's
// output, and under load many lines leave in one write().
class StderrLog
{
public:
    // Routes qInfo() and the other Qt messages here; starts the writing
    // thread, so it must come after the process's signal mask is set.
    static void install();
    static void writeLine(const QByteArray& message);
    // Returns once every line so far is written; before a quick exit.
    static void flush();

private:
    StderrLog();
    ~StderrLog();
    static StderrLog& instance();
    void add(const QByteArray& line);
    void waitUntilWritten();
    void run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_pending;
    bool m_writing = false;
    bool m_stopping = false;
    std::thread m_thread;
};
