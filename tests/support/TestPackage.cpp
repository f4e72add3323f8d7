#include "support/TestPackage.h"

#include "publisher/PackageWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <zlib.h>

namespace {

constexpr int kGzipWindowBits = 15 + 16; // zlib's way of asking for a gzip header

bool writeTree(const QString& root, const QMap<QString, QByteArray>& files, QString& errorText)
{
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const QString path = root + QLatin1Char('/') + file.key();
        QDir().mkpath(QFileInfo(path).path());
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(file.value()) != file.value().size()) {
            errorText = QString("cannot write %1: %2").arg(path, out.errorString());
            return false;
        }
    }
    return true;
}

} // namespace

bool writeTestPackage(const QString& zipPath, const QMap<QString, QByteArray>& files,
                      QString& errorText)
{
    QTemporaryDir tree;
    if (!tree.isValid()) {
        errorText = tree.errorString();
        return false;
    }
    QDir().mkpath(QFileInfo(zipPath).path());
    return writeTree(tree.path(), files, errorText) &&
           PackageWriter(tree.path(), zipPath).write(errorText);
}

QByteArray gzipEncoded(const QByteArray& content)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray encoded(int(deflateBound(&stream, uLong(content.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.constData()));
    stream.avail_in = uInt(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(encoded.data());
    stream.avail_out = uInt(encoded.size());
    const bool whole = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    encoded.truncate(int(stream.total_out));
    deflateEnd(&stream);
    return whole ? encoded : QByteArray();
}
