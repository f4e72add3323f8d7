#include "LogCapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex g_mutex;
QStringList g_lines;
QtMessageHandler g_previous = nullptr;

// qInfo() << QString quotes the text and escapes quotes, backslashes and
// control characters; the tests compare the text itself.
QString unquoted(const QString& message)
{
    if (message.size() < 2 || !message.startsWith(QLatin1Char('"')) ||
        !message.endsWith(QLatin1Char('"')))
        return message;
    QString text;
    for (int i = 1; i < message.size() - 1; ++i) {
        const QChar c = message.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= message.size() - 1) {
            text.append(c);
            continue;
        }
        const QChar escaped = message.at(++i);
        if (escaped == QLatin1Char('n'))
            text.append(QLatin1Char('\n'));
        else if (escaped == QLatin1Char('t'))
            text.append(QLatin1Char('\t'));
        else if (escaped == QLatin1Char('r'))
            text.append(QLatin1Char('\r'));
        else if (escaped == QLatin1Char('u') && i + 4 < message.size()) {
            text.append(QChar(message.mid(i + 1, 4).toUShort(nullptr, 16)));
            i += 4;
        } else
            text.append(escaped);
    }
    return text;
}

void record(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker locker(&g_mutex);
        g_lines.append(unquoted(message));
    }
    if (g_previous)
        g_previous(type, context, message);
}

} // namespace

LogCapture::LogCapture()
{
    g_previous = qInstallMessageHandler(record);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&g_mutex);
    return g_lines;
}

bool LogCapture::contains(const QString& text) const
{
    const QStringList all = lines();
    for (const QString& line : all) {
        if (line.contains(text))
            return true;
    }
    return false;
}

void LogCapture::clear()
{
    QMutexLocker locker(&g_mutex);
    g_lines.clear();
}
