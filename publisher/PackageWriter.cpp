#include "publisher/PackageWriter.h"

#include "publisher/ZipUtf8Names.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QVector>

#include <zip.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>

namespace {

// 1980-01-01 00:00:00 and 2107-12-31 23:59:58 UTC: the range of zip times.
constexpr qint64 kEarliestZipTime = 315532800;
constexpr qint64 kLatestZipTime = 4354819198;
constexpr quint32 kRegularFileType = 0100000;

struct PackageEntry
{
    QByteArray name; // relative, '/'-separated, UTF-8
    QString path;
    quint32 unixMode = 0;
};

struct ArchiveDiscard
{
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscard>;

quint32 unixMode(const QFileInfo& info)
{
    const auto permissions = quint32(info.permissions());
    const quint32 owner = (permissions >> 12) & 07;
    const quint32 group = (permissions >> 4) & 07;
    const quint32 other = permissions & 07;
    return kRegularFileType | owner << 6 | group << 3 | other;
}

bool isInside(const QString& path, const QString& folder)
{
    const QString parent = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    const QString root = QFileInfo(folder).canonicalFilePath();
    return !parent.isEmpty() && (parent == root || parent.startsWith(root + '/'));
}

bool addEntry(const QDir& root, const QFileInfo& info, QVector<PackageEntry>& entries,
              QString& errorText)
{
    if (info.isDir() && !info.isSymLink())
        return true;
    if (info.isSymLink() || !info.isFile()) {
        errorText =
            QString("%1 is %2; a package holds regular files only")
                .arg(info.filePath(), info.isSymLink() ? "a symbolic link" : "not a regular file");
        return false;
    }
    entries.append(
        {root.relativeFilePath(info.filePath()).toUtf8(), info.filePath(), unixMode(info)});
    return true;
}

bool collectEntries(const QString& folder, QVector<PackageEntry>& entries, QString& errorText)
{
    if (!QFileInfo(folder).isDir()) {
        errorText = QString("%1 is not a folder").arg(folder);
        return false;
    }
    const QDir root(QFileInfo(folder).absoluteFilePath());
    QDirIterator it(root.path(),
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!addEntry(root, it.fileInfo(), entries, errorText))
            return false;
    }
    if (entries.isEmpty()) {
        errorText = QString("%1 holds no files").arg(folder);
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const PackageEntry& a, const PackageEntry& b) { return a.name < b.name; });
    return true;
}

bool entryTime(qint64& seconds, QString& errorText)
{
    const QByteArray epoch = qgetenv("SOURCE_DATE_EPOCH");
    if (epoch.isEmpty()) {
        seconds = kEarliestZipTime;
        return true;
    }
    bool ok = false;
    seconds = qBound(kEarliestZipTime, epoch.toLongLong(&ok), kLatestZipTime);
    if (!ok)
        errorText = QString("SOURCE_DATE_EPOCH must be seconds since 1970, not \"%1\"")
                        .arg(QString::fromLocal8Bit(epoch));
    return ok;
}

// libzip turns entry times into DOS times through the local time zone;
// pinned to UTC, the bytes do not depend on where the package was made.
void pinTimeZoneToUtc()
{
    qputenv("TZ", "UTC0");
    tzset();
}

// libzip takes file names as UTF-8 on Windows, in the system's encoding
// elsewhere.
QByteArray zipFileName(const QString& path)
{
#ifdef _WIN32
    return path.toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

std::filesystem::path filesystemPath(const QString& path)
{
#ifdef _WIN32
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

bool addToZip(zip_t* archive, const PackageEntry& entry, time_t modified)
{
    zip_source_t* source = zip_source_file(archive, zipFileName(entry.path).constData(), 0, -1);
    const zip_int64_t added =
        source ? zip_file_add(archive, entry.name.constData(), source, ZIP_FL_ENC_UTF_8) : -1;
    if (added < 0) {
        zip_source_free(source);
        return false;
    }
    const auto index = zip_uint64_t(added);
    return zip_set_file_compression(archive, index, ZIP_CM_DEFLATE, 0) == 0 &&
           zip_file_set_mtime(archive, index, modified, 0) == 0 &&
           zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                            entry.unixMode << 16) == 0;
}

bool writeZip(const QString& path, const QVector<PackageEntry>& entries, qint64 modified,
              QString& errorText)
{
    int code = 0;
    Archive archive(zip_open(zipFileName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code));
    if (!archive) {
        errorText = QString("cannot create %1 (libzip error %2)").arg(path).arg(code);
        return false;
    }
    for (const PackageEntry& entry : entries) {
        if (!addToZip(archive.get(), entry, time_t(modified))) {
            errorText = QString("cannot add %1: %2").arg(entry.path, zip_strerror(archive.get()));
            return false;
        }
    }
    // libzip reads and compresses the files only now.
    if (zip_close(archive.get()) != 0) {
        errorText = QString("cannot write %1: %2").arg(path, zip_strerror(archive.get()));
        return false;
    }
    archive.release();
    return true;
}

bool replaceFile(const QString& from, const QString& to, QString& errorText)
{
    std::error_code error;
    std::filesystem::rename(filesystemPath(from), filesystemPath(to), error);
    if (error)
        errorText = QString("cannot write %1: %2").arg(to, QString::fromStdString(error.message()));
    return !error;
}

// A new empty file next to `target`, so that the final rename stays on one
// file system; empty when none can be made. A closed QTemporaryFile keeps
// its handle, and Windows renames nothing over an open file: it is let go.
QString reserveNameNextTo(const QString& target, QString& errorText)
{
    QTemporaryFile partial(target + ".XXXXXX");
    if (!partial.open()) {
        errorText = QString("cannot write next to %1: %2").arg(target, partial.errorString());
        return QString();
    }
    partial.setAutoRemove(false);
    return partial.fileName();
}

} // namespace

PackageWriter::PackageWriter(const QString& folder, const QString& zipPath)
    : m_folder(folder), m_zipPath(zipPath)
{}

bool PackageWriter::write(QString& errorText) const
{
    if (isInside(m_zipPath, m_folder)) {
        errorText =
            QString("%1 would be packed into itself: it is below %2").arg(m_zipPath, m_folder);
        return false;
    }
    QVector<PackageEntry> entries;
    qint64 modified = 0;
    if (!collectEntries(m_folder, entries, errorText) || !entryTime(modified, errorText))
        return false;
    pinTimeZoneToUtc();
    const QString partial = reserveNameNextTo(m_zipPath, errorText);
    if (partial.isEmpty())
        return false;
    QFile::setPermissions(partial, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                       QFile::ReadOther);
    if (writeZip(partial, entries, modified, errorText) &&
        markNamesUtf8(partial, entries.size(), errorText) &&
        replaceFile(partial, m_zipPath, errorText))
        return true;
    QFile::remove(partial);
    return false;
}
