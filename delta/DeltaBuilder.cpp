#include "delta/DeltaBuilder.h"

#include "delta/DeltaManifest.h"
#include "delta/DeltaTree.h"
#include "delta/ZstdPatch.h"
#include "trust/Sha256.h"
#include "zlibwrap/ZLibWrap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using Method = DeltaManifest::File::Method;

namespace {

static_assert(sizeof(ZWChar) == sizeof(ushort), "the library takes UTF-16 code units");

// The same checks the updater runs on a package it unpacks.
bool unpack(const QString& package, const QString& folder, QString& errorText)
{
    const auto* archive = reinterpret_cast<const ZWChar*>(package.utf16());
    const auto* target = reinterpret_cast<const ZWChar*>(folder.utf16());
    if (ZWZipExtract(archive, target) != 0)
        return true;
    errorText = QStringLiteral("cannot unpack %1").arg(package);
    return false;
}

bool writeInto(const QString& folder, const QString& relative, const QByteArray& bytes)
{
    const QString path = folder + QLatin1Char('/') + relative;
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size();
}

bool copyInto(const QString& folder, const QString& relative, const QString& source)
{
    const QString path = folder + QLatin1Char('/') + relative;
    return QDir().mkpath(QFileInfo(path).path()) && QFile::copy(source, path);
}

} // namespace

DeltaBuilder::DeltaBuilder(const QString& oldPackage, const QString& newPackage, int level)
    : m_oldPackage(oldPackage), m_newPackage(newPackage), m_level(level)
{}

bool DeltaBuilder::build(const QString& fromVersion, const QString& toVersion,
                         const QString& folder, QString& errorText)
{
    QTemporaryDir work;
    const QString oldTree = work.filePath(QStringLiteral("old"));
    const QString newTree = work.filePath(QStringLiteral("new"));
    if (!work.isValid() || !unpack(m_oldPackage, oldTree, errorText) ||
        !unpack(m_newPackage, newTree, errorText))
        return false;
    DeltaManifest manifest;
    manifest.fromVersion = fromVersion;
    manifest.toVersion = toVersion;
    m_totals = Totals();
    const QMap<QString, QString> oldFiles = DeltaTree::files(oldTree);
    const QMap<QString, QString> newFiles = DeltaTree::files(newTree);
    for (auto it = newFiles.cbegin(); it != newFiles.cend(); ++it) {
        if (!addFile(it.key(), oldFiles.value(it.key()), it.value(), folder, manifest, errorText))
            return false;
    }
    if (!writeInto(folder, DeltaManifest::kFileName, manifest.toJson())) {
        errorText = QStringLiteral("cannot write %1 in %2").arg(DeltaManifest::kFileName, folder);
        return false;
    }
    return true;
}

bool DeltaBuilder::addFile(const QString& path, const QString& oldFile, const QString& newFile,
                           const QString& folder, DeltaManifest& manifest, QString& errorText)
{
    DeltaManifest::File file{path, Method::Whole, {}, {}, 0};
    qint64 oldSize = -1;
    if (!Sha256::hexOfFile(newFile, file.after, file.size) ||
        (!oldFile.isEmpty() && !Sha256::hexOfFile(oldFile, file.before, oldSize))) {
        errorText = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    if (oldSize == file.size && file.before == file.after) {
        ++m_totals.unchanged;
        return true;
    }
    QByteArray patch;
    if (!oldFile.isEmpty() && !patchIfSmaller(oldFile, newFile, file, patch, errorText))
        return false;
    const QString entry = DeltaManifest::entryOf(file);
    const bool written = file.method == Method::Patch ? writeInto(folder, entry, patch)
                                                      : copyInto(folder, entry, newFile);
    if (!written) {
        errorText = QStringLiteral("cannot write %1 in %2").arg(entry, folder);
        return false;
    }
    count(file, patch.size());
    manifest.files.append(file);
    return true;
}

// A patch is worth it only where it beats the new file compressed alone.
bool DeltaBuilder::patchIfSmaller(const QString& oldFile, const QString& newFile,
                                  DeltaManifest::File& file, QByteArray& patch,
                                  QString& errorText) const
{
    QByteArray alone;
    if (!ZstdPatch::make(oldFile, newFile, m_level, patch, errorText) ||
        !ZstdPatch::make(QString(), newFile, m_level, alone, errorText))
        return false;
    file.method = patch.size() < alone.size() ? Method::Patch : Method::Whole;
    if (file.method == Method::Whole) {
        file.before.clear();
        patch.clear();
    }
    return true;
}

void DeltaBuilder::count(const DeltaManifest::File& file, qint64 patchSize)
{
    if (file.method == Method::Patch) {
        ++m_totals.patched;
        m_totals.patchBytes += patchSize;
    } else {
        ++m_totals.whole;
        m_totals.wholeBytes += file.size;
    }
    m_totals.changedBytes += file.size;
}
