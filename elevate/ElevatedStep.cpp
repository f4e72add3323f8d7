#include "elevate/ElevatedStep.h"

#include "config/ConfigIni.h"
#include "download/ExtractZip.h"
#include "install/InstallRecovery.h"
#include "install/PackageInstaller.h"
#include "install/WorkFolder.h"
#include "layout/InstallationLayout.h"
#include "platform/Platform.h"
#include "trust/ReleaseTrust.h"
#include "trust/ReleaseVerifier.h"
#include "trust/Sha256.h"
#include "trust/SignedRelease.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

using Kind = ElevatedResult::Kind;

// A release document holds one signed release and a few roots.
constexpr qint64 kMaxReleaseDocumentBytes = 1 << 20;
constexpr qint64 kCopyChunkBytes = 1 << 20;

void logStep(const QString& text)
{
    qInfo() << QString("Update: elevated step: %1").arg(text);
}

bool readReleaseDocument(const QString& path, QJsonObject& document)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    document = QJsonDocument::fromJson(file.read(kMaxReleaseDocumentBytes)).object();
    return !document.isEmpty();
}

// Copies at most one byte more than `limit` from `source` to `target`,
// hashing what it copies.
bool copyBounded(QFile& source, QFile& target, qint64 limit, qint64& length, QByteArray& sha256)
{
    Sha256 hash;
    length = 0;
    while (length <= limit) {
        const QByteArray chunk = source.read(qMin(kCopyChunkBytes, limit + 1 - length));
        if (chunk.isEmpty())
            break;
        hash.addData(chunk.constData(), chunk.size());
        if (target.write(chunk) != chunk.size())
            return false;
        length += chunk.size();
    }
    sha256 = hash.hexDigest();
    return source.error() == QFileDevice::NoError && target.flush();
}

Kind kindOf(PreparationResult::Kind kind)
{
    return kind == PreparationResult::Kind::PackageFileMissing ? Kind::DamagedPackage
                                                               : Kind::Installation;
}

} // namespace

ElevatedStep::ElevatedStep(QString applicationDir, InstallRequest request)
    : m_applicationDir(std::move(applicationDir)), m_request(std::move(request))
{}

ElevatedStep::~ElevatedStep() = default;

ElevatedResult ElevatedStep::run()
{
    // Other users' updaters of the same installation ask for their own steps.
    platform::InstanceLock lock;
    const platform::InstanceLock::Outcome locked =
        lock.acquire(layout::pathIn(m_applicationDir, layout::kInstanceLock));
    if (locked.state != platform::InstanceLock::State::Held)
        return finished(ElevatedResult::of(Kind::Installation, locked.reason));
    if (!InstallRecovery(m_applicationDir).run())
        return finished(
            ElevatedResult::of(Kind::Installation, "an earlier installation could not be undone"));
    ElevatedResult result = install();
    if (result.installed())
        WorkFolder(m_applicationDir).clearAll();
    else
        WorkFolder(m_applicationDir).clearAfterFailure();
    return finished(result);
}

ElevatedResult ElevatedStep::install()
{
    ElevatedResult problem;
    SignedRelease release;
    QVector<QString> files;
    if (!namesInstalledProgram())
        return ElevatedResult::of(Kind::NotVerified,
                                  "the main program is no file name: " + m_request.mainProgram);
    if (!verifyRelease(release, problem) || !takePackage(release, problem) ||
        !unpack(files, problem) || !prepare(files, problem))
        return problem;
    stopProgram(platform::logConsoleImageName());
    stopMainProgram();
    // No health watch: taking a version back needs administrator rights too.
    if (!m_installer->installAll(release.version))
        return ElevatedResult::of(Kind::Installation,
                                  "the files were given back after a failed move or version write");
    return ElevatedResult::of(Kind::Installed, "version " + release.version + " is installed");
}

bool ElevatedStep::verifyRelease(SignedRelease& release, ElevatedResult& problem) const
{
    ReleaseTrust trust(layout::pathIn(m_applicationDir, layout::kTrustFolder));
    QJsonObject document;
    if (!trust.isConfigured()) {
        // Without a pinned root nothing tells the vendor's package from one
        // that a program of the user put in its place.
        problem = ElevatedResult::of(Kind::NotVerified, "no root is pinned in " + trust.rootPath());
        return false;
    }
    if (!readReleaseDocument(m_request.releasePath, document)) {
        problem = ElevatedResult::of(Kind::NotVerified,
                                     "no release document in " + m_request.releasePath);
        return false;
    }
    const QString installed =
        readIniFileValue(layout::pathIn(m_applicationDir, layout::kConfigIni),
                         QStringLiteral("Version"), QStringLiteral("Version"), QString());
    const ReleaseTrust::Offer offer{m_request.softwareRoot,
                                    m_request.versionType,
                                    installed,
                                    m_request.version,
                                    document.value(QStringLiteral("release")),
                                    document.value(QStringLiteral("roots")).toArray()};
    const TrustVerdict verdict = trust.verify(offer, QDateTime::currentDateTimeUtc(), release);
    if (verdict.passed())
        return true;
    problem = ElevatedResult::of(Kind::NotVerified, verdict.text());
    return false;
}

bool ElevatedStep::takePackage(const SignedRelease& release, ElevatedResult& problem) const
{
    const WorkFolder work(m_applicationDir);
    const QString taken = layout::pathIn(m_applicationDir, layout::kTakenPackage);
    QString reason;
    QFile source(m_request.packagePath);
    QFile target(taken);
    if (!work.make(reason) || (platform::existsItself(taken) && !QFile::remove(taken)) ||
        !target.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        problem = ElevatedResult::of(Kind::Installation,
                                     reason.isEmpty() ? taken + " cannot be written" : reason);
        return false;
    }
    qint64 length = 0;
    QByteArray sha256;
    if (!QFileInfo(m_request.packagePath).isFile() || !source.open(QIODevice::ReadOnly) ||
        !copyBounded(source, target, release.packageLength, length, sha256)) {
        problem = ElevatedResult::of(Kind::NotVerified,
                                     m_request.packagePath + " cannot be taken into " + taken);
        return false;
    }
    const TrustVerdict verdict =
        ReleaseVerifier::checkPackage(release.packageLength, release.packageSha256, length, sha256);
    if (verdict.passed())
        return true;
    problem = ElevatedResult::of(Kind::NotVerified, verdict.text());
    return false;
}

bool ElevatedStep::unpack(QVector<QString>& files, ElevatedResult& problem) const
{
    const WorkFolder work(m_applicationDir);
    const QString package = layout::pathIn(m_applicationDir, layout::kTakenPackage);
    qint64 unpacked = 0;
    QString reason;
    if (!work.makeUnpackFolder(reason)) {
        problem = ElevatedResult::of(Kind::Installation, reason);
        return false;
    }
    if (!inspectZip(package, unpacked) || !extractZip(package, work.unpackFolder())) {
        problem = ElevatedResult::of(Kind::DamagedPackage, "the package cannot be unpacked");
        return false;
    }
    listPackageFiles(work.unpackFolder(), QFileInfo(work.unpackFolder()).absoluteFilePath(), files);
    const QString ownEntry = firstUpdaterOwnEntry(files);
    if (ownEntry.isEmpty())
        return true;
    problem = ElevatedResult::of(Kind::DamagedPackage,
                                 "the package writes into the work folder: " + ownEntry);
    return false;
}

bool ElevatedStep::prepare(const QVector<QString>& files, ElevatedResult& problem)
{
    m_installer = PackageInstaller::ofUnpacked(m_applicationDir, files);
    const PreparationResult prepared = m_installer->prepare();
    if (prepared.ready())
        return true;
    problem = ElevatedResult::of(kindOf(prepared.kind), prepared.reason);
    return false;
}

// Only a program of this installation may be stopped, and only by its own
// file name: the request could name any program of the system.
bool ElevatedStep::namesInstalledProgram() const
{
    const QString& name = m_request.mainProgram;
    return name.isEmpty() || (QFileInfo(name).fileName() == name && name != QLatin1String(".") &&
                              name != QLatin1String("..") && !name.contains(QLatin1Char('\\')) &&
                              !name.contains(QLatin1Char(':')));
}

void ElevatedStep::stopMainProgram()
{
    if (m_request.mainProgram.isEmpty() || !stopProgram(m_request.mainProgram))
        return;
    logStep(QString("the main program %1 was stopped").arg(m_request.mainProgram));
    m_mainProgramStopped = true;
}

bool ElevatedStep::stopProgram(const QString& fileName) const
{
    return platform::stopProcessesByExecutable(m_applicationDir + QLatin1Char('/') + fileName);
}

ElevatedResult ElevatedStep::finished(ElevatedResult result) const
{
    result.mainProgramStopped = m_mainProgramStopped;
    logStep(QString("%1 (exit code %2)").arg(result.reason).arg(result.exitCode()));
    return result;
}
