#include "trust/UtcTimestamp.h"

#include <QRegularExpression>

namespace {
const char kFormat[] = "yyyy-MM-ddTHH:mm:ssZ";
}

bool parseUtcTimestamp(const QString& text, QDateTime& time)
{
    static const QRegularExpression shape(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$"));
    if (!shape.match(text).hasMatch())
        return false;
    QDateTime parsed = QDateTime::fromString(text, QLatin1String(kFormat));
    if (!parsed.isValid())
        return false;
    parsed.setTimeSpec(Qt::UTC);
    time = parsed;
    return true;
}

QString formatUtcTimestamp(const QDateTime& time)
{
    return time.toUTC().toString(QLatin1String(kFormat));
}
