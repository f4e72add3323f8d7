#pragma once

// Records the text of every message the process logs while an instance lives
// (without the quotes qInfo() puts around a streamed QString), and passes
// each on to the handler that was installed before.

#include <QStringList>

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    // True when some line contains `text`.
    bool contains(const QString& text) const;
    void clear();
};
