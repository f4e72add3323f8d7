#include "trust/VersionNumber.h"

#include <QStringList>

namespace {

// The leading digits of one part without leading zeros; a part without
// digits ("beta") counts as 0. Kept as text so that numbers of any length
// compare correctly.
QString numericPart(const QString& part)
{
    int end = 0;
    while (end < part.size() && part.at(end).isDigit() && part.at(end).unicode() < 128)
        ++end;
    int start = 0;
    while (start < end && part.at(start) == QLatin1Char('0'))
        ++start;
    return part.mid(start, end - start);
}

int compareParts(const QString& a, const QString& b)
{
    const QString x = numericPart(a);
    const QString y = numericPart(b);
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return QString::compare(x, y);
}

} // namespace

int VersionNumber::compare(const QString& a, const QString& b)
{
    const QString left = a.trimmed();
    const QString right = b.trimmed();
    if (left.isEmpty() || right.isEmpty())
        return int(!left.isEmpty()) - int(!right.isEmpty());
    const QStringList x = left.split(QLatin1Char('.'));
    const QStringList y = right.split(QLatin1Char('.'));
    for (int i = 0; i < qMax(x.size(), y.size()); ++i) {
        const int order =
            compareParts(i < x.size() ? x.at(i) : QString(), i < y.size() ? y.at(i) : QString());
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}
