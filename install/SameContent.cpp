#include "install/SameContent.h"

#include "platform/Platform.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <vector>

namespace {

constexpr qint64 kChunk = 1 << 18;

bool sameBytes(QFile& a, QFile& b)
{
    // Kept from call to call: fresh buffers for each of thousands of small
    // files cost the system more than comparing them.
    thread_local std::vector<char> first(kChunk);
    thread_local std::vector<char> second(kChunk);
    for (;;) {
        const qint64 got = a.read(first.data(), kChunk);
        if (got < 0 || b.read(second.data(), kChunk) != got)
            return false;
        if (got == 0)
            return true;
        if (!std::equal(first.begin(), first.begin() + got, second.begin()))
            return false;
    }
}

} // namespace

bool haveSameContent(const QString& one, const QString& other)
{
    if (platform::isLink(one) || platform::isLink(other))
        return false;
    const QFileInfo first(one);
    const QFileInfo second(other);
    if (!first.isFile() || !second.isFile() || first.size() != second.size())
        return false;
    QFile a(one);
    QFile b(other);
    return a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly) && sameBytes(a, b);
}
