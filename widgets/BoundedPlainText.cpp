#include "widgets/BoundedPlainText.h"

#include <QByteArray>
#include <QStringList>

namespace {

// How far back from the limit a space is looked for to break a line at.
constexpr int kBreakSearch = 200;

// The first `maxUtf8Bytes` of `text`, never ending inside a character.
QString cutToUtf8Bytes(const QString& text, int maxUtf8Bytes)
{
    const QByteArray utf8 = text.toUtf8();
    int cut = maxUtf8Bytes;
    while (cut > 0 && (uchar(utf8.at(cut)) & 0xC0) == 0x80)
        --cut;
    return QString::fromUtf8(utf8.constData(), cut);
}

// Where a line starting at `start` ends: after the last space near the
// limit, or at the limit, though never between the halves of a surrogate
// pair.
int breakPosition(const QString& line, int start)
{
    const int limit = start + kMaxBoundedLineLength;
    for (int at = limit; at > limit - kBreakSearch; --at) {
        if (line.at(at - 1).isSpace())
            return at;
    }
    return line.at(limit - 1).isHighSurrogate() ? limit - 1 : limit;
}

QString breakLongLine(const QString& line)
{
    QString broken;
    broken.reserve(line.size() + line.size() / kMaxBoundedLineLength + 1);
    int start = 0;
    while (line.size() - start > kMaxBoundedLineLength) {
        const int end = breakPosition(line, start);
        broken += line.midRef(start, end - start);
        broken += QLatin1Char('\n');
        start = end;
    }
    broken += line.midRef(start);
    return broken;
}

} // namespace

QString boundedPlainText(const QString& text, int maxUtf8Bytes, const QString& cutNotice)
{
    // No character takes more than three UTF-8 bytes per UTF-16 unit, so a
    // short text is not encoded to be measured.
    const bool cut = text.size() > maxUtf8Bytes / 3 && text.toUtf8().size() > maxUtf8Bytes;
    const QString kept = cut ? cutToUtf8Bytes(text, maxUtf8Bytes) : text;
    const QStringList lines = kept.split(QLatin1Char('\n'));
    QStringList bounded;
    bounded.reserve(lines.size() + 1);
    for (const QString& line : lines)
        bounded.append(line.size() > kMaxBoundedLineLength ? breakLongLine(line) : line);
    if (cut)
        bounded.append(cutNotice);
    return bounded.join(QLatin1Char('\n'));
}
