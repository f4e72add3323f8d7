#include "publisher/ZipUtf8Names.h"

#include <QFile>
#include <QtEndian>

namespace {

constexpr quint32 kLocalSignature = 0x04034b50;
constexpr quint32 kCentralSignature = 0x02014b50;
constexpr int kLocalHeaderBytes = 30;
constexpr int kCentralHeaderBytes = 46;
constexpr quint16 kUtf8NamesFlag = 0x0800;
constexpr quint16 kDataDescriptorFlag = 0x0008;
constexpr quint32 kSizeInZip64Field = 0xffffffff;
constexpr quint16 kZip64FieldId = 0x0001;

template <typename T> T littleEndian(const QByteArray& bytes, int offset)
{
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

bool readAt(QFile& file, qint64 offset, int size, QByteArray& bytes)
{
    bytes = file.seek(offset) ? file.read(size) : QByteArray();
    return bytes.size() == size;
}

bool setUtf8Flag(QFile& file, qint64 flagsOffset, quint16 flags)
{
    uchar raw[2];
    qToLittleEndian<quint16>(flags | kUtf8NamesFlag, raw);
    return file.seek(flagsOffset) && file.write(reinterpret_cast<const char*>(raw), 2) == 2;
}

// In a local header's zip64 field libzip writes the uncompressed size first,
// then the compressed one.
bool zip64CompressedSize(const QByteArray& extra, quint64& size)
{
    for (int at = 0; at + 4 <= extra.size(); at += 4 + littleEndian<quint16>(extra, at + 2)) {
        if (littleEndian<quint16>(extra, at) == kZip64FieldId && at + 20 <= extra.size()) {
            size = littleEndian<quint64>(extra, at + 12);
            return true;
        }
    }
    return false;
}

// The length of an entry's data: in its local header, or in the zip64 field
// when the header only says that it is there.
bool dataBytes(QFile& file, qint64 offset, const QByteArray& header, quint64& bytes)
{
    bytes = littleEndian<quint32>(header, 18);
    if (bytes != kSizeInZip64Field)
        return true;
    QByteArray extra;
    return readAt(file, offset + kLocalHeaderBytes + littleEndian<quint16>(header, 26),
                  littleEndian<quint16>(header, 28), extra) &&
           zip64CompressedSize(extra, bytes);
}

// Marks the local header at `offset` and moves `offset` past its data.
bool markLocal(QFile& file, qint64& offset)
{
    QByteArray header;
    quint64 data = 0;
    if (!readAt(file, offset, kLocalHeaderBytes, header))
        return false;
    const quint16 flags = littleEndian<quint16>(header, 6);
    if ((flags & kDataDescriptorFlag) || !dataBytes(file, offset, header, data) ||
        !setUtf8Flag(file, offset + 6, flags))
        return false;
    offset += kLocalHeaderBytes + littleEndian<quint16>(header, 26) +
              littleEndian<quint16>(header, 28) + qint64(data);
    return true;
}

// Marks the central header at `offset` and moves `offset` past it.
bool markCentral(QFile& file, qint64& offset)
{
    QByteArray header;
    if (!readAt(file, offset, kCentralHeaderBytes, header) ||
        !setUtf8Flag(file, offset + 8, littleEndian<quint16>(header, 8)))
        return false;
    offset += kCentralHeaderBytes + littleEndian<quint16>(header, 28) +
              littleEndian<quint16>(header, 30) + littleEndian<quint16>(header, 32);
    return true;
}

// libzip writes all local headers with their data, then the central
// directory, header after header; whatever follows ends the walk.
void markAll(QFile& file, qint64& locals, qint64& centrals)
{
    qint64 offset = 0;
    QByteArray signature;
    while (readAt(file, offset, 4, signature)) {
        const quint32 kind = littleEndian<quint32>(signature, 0);
        if (kind == kLocalSignature && centrals == 0 && markLocal(file, offset))
            ++locals;
        else if (kind == kCentralSignature && markCentral(file, offset))
            ++centrals;
        else
            break;
    }
}

} // namespace

bool markNamesUtf8(const QString& zipPath, qint64 entries, QString& errorText)
{
    QFile file(zipPath);
    if (!file.open(QIODevice::ReadWrite)) {
        errorText = QString("cannot open %1: %2").arg(zipPath, file.errorString());
        return false;
    }
    qint64 locals = 0;
    qint64 centrals = 0;
    markAll(file, locals, centrals);
    if (locals == entries && centrals == entries && file.flush())
        return true;
    errorText = QString("cannot mark the names in %1 as UTF-8: %2 and %3 of %4 entries found")
                    .arg(zipPath)
                    .arg(locals)
                    .arg(centrals)
                    .arg(entries);
    return false;
}
