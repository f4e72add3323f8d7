#include "delta/DeltaApplier.h"

#include "delta/DeltaTree.h"
#include "delta/ZstdPatch.h"
#include "trust/Sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using Kind = DeltaResult::Kind;

DeltaApplier::DeltaApplier(const QString& deltaFolder, const QString& installFolder,
                           const QString& targetFolder)
    : m_deltaFolder(deltaFolder), m_installFolder(installFolder), m_targetFolder(targetFolder)
{}

DeltaResult DeltaApplier::apply()
{
    DeltaResult result = m_manifestRead ? DeltaResult() : readManifest();
    for (int i = 0; result.applied() && i < m_manifest.files.size(); ++i)
        result = applyFile(m_manifest.files.at(i));
    return result;
}

DeltaResult DeltaApplier::readManifest()
{
    const QString name = DeltaManifest::kFileName;
    QString path;
    QFile file;
    if (!DeltaTree::resolve(m_deltaFolder, name, path))
        return DeltaResult::failed(Kind::PathRefused, name, QStringLiteral("is a link"));
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return DeltaResult::failed(Kind::Damaged, name, file.errorString());
    QString errorText;
    if (!DeltaManifest::fromJson(file.readAll(), m_manifest, errorText))
        return DeltaResult::failed(Kind::Damaged, name, errorText);
    m_manifestRead = true;
    return {};
}

DeltaResult DeltaApplier::applyFile(const DeltaManifest::File& file) const
{
    QString source;
    QString installed;
    QString target;
    if (!DeltaTree::resolve(m_deltaFolder, DeltaManifest::entryOf(file), source) ||
        !DeltaTree::resolve(m_installFolder, file.path, installed) ||
        !DeltaTree::resolve(m_targetFolder, file.path, target))
        return DeltaResult::failed(Kind::PathRefused, file.path,
                                   QStringLiteral("leads through a link"));
    if (!QDir().mkpath(QFileInfo(target).path()) ||
        (QFile::exists(target) && !QFile::remove(target)))
        return DeltaResult::failed(Kind::FileError, file.path,
                                   QStringLiteral("cannot be written in ") + m_targetFolder);
    if (file.method == DeltaManifest::File::Method::Whole)
        return copyWhole(file, source, target);
    const DeltaResult installedCheck = checkInstalled(file, installed);
    if (!installedCheck.applied())
        return installedCheck;
    return ZstdPatch::apply(installed, source, target, file.size, file.after, file.path);
}

DeltaResult DeltaApplier::checkInstalled(const DeltaManifest::File& file,
                                         const QString& installed) const
{
    QByteArray sha256;
    qint64 size = 0;
    if (!Sha256::hexOfFile(installed, sha256, size))
        return DeltaResult::failed(Kind::InstalledFileChanged, file.path,
                                   QStringLiteral("the installed file cannot be read"));
    if (sha256 != file.before)
        return DeltaResult::failed(
            Kind::InstalledFileChanged, file.path,
            QStringLiteral("the installed file has SHA-256 %1, the patch "
                           "was made for %2")
                .arg(QString::fromLatin1(sha256), QString::fromLatin1(file.before)));
    return {};
}

DeltaResult DeltaApplier::copyWhole(const DeltaManifest::File& file, const QString& source,
                                    const QString& target) const
{
    QByteArray sha256;
    qint64 size = 0;
    if (!Sha256::hexOfFile(source, sha256, size))
        return DeltaResult::failed(Kind::Damaged, file.path,
                                   QStringLiteral("is missing from the delta"));
    if (size != file.size || sha256 != file.after)
        return DeltaResult::failed(Kind::Damaged, file.path,
                                   QStringLiteral("has %1 bytes with SHA-256 %2, not %3 and %4")
                                       .arg(size)
                                       .arg(QString::fromLatin1(sha256))
                                       .arg(file.size)
                                       .arg(QString::fromLatin1(file.after)));
    if (!QFile::copy(source, target))
        return DeltaResult::failed(Kind::FileError, file.path,
                                   QStringLiteral("cannot be copied to ") + m_targetFolder);
    return {};
}
