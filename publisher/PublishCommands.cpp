#include "publisher/PublishCommands.h"

#include "delta/DeltaBuilder.h"
#include "delta/ZstdPatch.h"
#include "publisher/KeyFiles.h"
#include "publisher/PackageWriter.h"
#include "publisher/PublishOptions.h"
#include "trust/ReleaseVerifier.h"
#include "trust/Sha256.h"
#include "trust/SignedEnvelope.h"
#include "trust/SignedRelease.h"
#include "trust/SigningKey.h"
#include "trust/TrustRoot.h"
#include "trust/UtcTimestamp.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

void printLine(std::FILE* stream, const QString& line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
}

QDateTime expiryIn(qint64 days)
{
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC).addDays(days);
}

bool failed(const TrustVerdict& verdict, QString& errorText)
{
    if (!verdict.passed())
        errorText = verdict.text();
    return !verdict.passed();
}

// A key given both as a root key and as the previous root's key signs once.
void signByEach(SignedEnvelope& envelope, const QVector<SigningKey>& keys)
{
    for (const SigningKey& key : keys) {
        const QString keyId = key.publicKey().keyId();
        const bool signedAlready =
            std::any_of(envelope.signatures.cbegin(), envelope.signatures.cend(),
                        [&](const SignedEnvelope::Signature& s) { return s.keyId == keyId; });
        if (!signedAlready)
            envelope.sign(key);
    }
}

// The checks the updater makes with the root it pinned, in its order.
TrustVerdict checkRelease(const SignedEnvelope& rootEnvelope, const SignedEnvelope& releaseEnvelope,
                          SignedRelease& release)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    TrustRoot root;
    TrustVerdict verdict = ReleaseVerifier::readPinnedRoot(rootEnvelope, root);
    if (verdict.passed())
        verdict = ReleaseVerifier::checkRootExpiry(root, now);
    if (verdict.passed())
        verdict = ReleaseVerifier::readRelease(root, releaseEnvelope, now, release);
    return verdict;
}

bool checkPackageFile(const SignedRelease& release, const QString& path, QString& errorText)
{
    const QString name = QFileInfo(path).fileName();
    if (name != release.packageName) {
        errorText = QString("package name: %1, signed %2").arg(name, release.packageName);
        return false;
    }
    QByteArray sha256;
    qint64 length = 0;
    if (!Sha256::hexOfFile(path, sha256, length)) {
        errorText = QString("cannot read %1").arg(path);
        return false;
    }
    return !failed(
        ReleaseVerifier::checkPackage(release.packageLength, release.packageSha256, length, sha256),
        errorText);
}

QString describe(const SignedRelease& release)
{
    return QString("release %1/%2 %3 serial %4")
        .arg(release.softwareRoot, release.versionType, release.version)
        .arg(release.serial);
}

QString describe(const DeltaBuilder::Totals& totals)
{
    return QString("%1 files unchanged, %2 patched in %3 bytes, %4 whole in %5 bytes; the changed "
                   "files are %6 bytes")
        .arg(totals.unchanged)
        .arg(totals.patched)
        .arg(totals.patchBytes)
        .arg(totals.whole)
        .arg(totals.wholeBytes)
        .arg(totals.changedBytes);
}

QByteArray deltaLine(const QString& from, const QString& zipPath, QString& errorText)
{
    QByteArray sha256;
    qint64 length = 0;
    if (!Sha256::hexOfFile(zipPath, sha256, length)) {
        errorText = QString("cannot read %1").arg(zipPath);
        return QByteArray();
    }
    const QJsonObject line{{"from", from},
                           {"name", QFileInfo(zipPath).fileName()},
                           {"length", double(length)},
                           {"sha256", QString::fromLatin1(sha256)}};
    return QJsonDocument(line).toJson(QJsonDocument::Compact);
}

} // namespace

PublishCommands::PublishCommands(const PublishOptions& options) : m_options(options) {}

int PublishCommands::run() const
{
    using Command = bool (PublishCommands::*)(QString&) const;
    static const QMap<QString, Command> commands{
        {"keygen", &PublishCommands::keygen},   {"root", &PublishCommands::makeRoot},
        {"package", &PublishCommands::package}, {"release", &PublishCommands::makeRelease},
        {"verify", &PublishCommands::verify},   {"delta", &PublishCommands::delta}};
    QString errorText;
    if ((this->*commands.value(m_options.command))(errorText))
        return 0;
    printLine(stderr, "vaderoru-publish: " + errorText);
    return 1;
}

bool PublishCommands::keygen(QString& errorText) const
{
    const QString name = m_options.arguments.first();
    SigningKey key;
    if (!SigningKey::generate(key)) {
        errorText = "cannot generate a key: libsodium is not usable";
        return false;
    }
    if (!writeKeyPair(name, key, errorText))
        return false;
    printLine(stdout, QString("wrote %1.key (keep it offline) and %1.pub, key id %2")
                          .arg(name, key.publicKey().keyId()));
    return true;
}

bool PublishCommands::makeRoot(QString& errorText) const
{
    TrustRoot root;
    root.version = m_options.number("--version");
    root.expires = expiryIn(m_options.number("--expires-days"));
    QVector<SigningKey> signers;
    if (!readSigningKeys(m_options.values("--root-key"), signers, errorText) ||
        !readPublicKeys(m_options.values("--release-pub"), root.releaseKeys, errorText))
        return false;
    for (const SigningKey& key : signers) {
        if (!root.rootKeys.contains(key.publicKey()))
            root.rootKeys.append(key.publicKey());
    }
    if (m_options.isSet("--previous-root-key") &&
        !readSigningKeys(m_options.values("--previous-root-key"), signers, errorText))
        return false;
    SignedEnvelope envelope;
    envelope.payloadType = TrustRoot::kPayloadType;
    envelope.payload = root.toBody();
    signByEach(envelope, signers);
    if (!envelope.writeFile(m_options.value("-o"), errorText))
        return false;
    printLine(stdout, QString("wrote %1: root %2, expires %3, %4 signatures")
                          .arg(m_options.value("-o"))
                          .arg(root.version)
                          .arg(formatUtcTimestamp(root.expires))
                          .arg(envelope.signatures.size()));
    return true;
}

bool PublishCommands::package(QString& errorText) const
{
    const QString zipPath = m_options.value("-o");
    if (!PackageWriter(m_options.arguments.first(), zipPath).write(errorText))
        return false;
    printLine(stdout, QString("wrote %1").arg(zipPath));
    return true;
}

bool PublishCommands::makeRelease(QString& errorText) const
{
    SignedRelease release;
    release.softwareRoot = m_options.value("--software-root");
    release.versionType = m_options.value("--version-type");
    release.version = m_options.value("--version");
    release.serial = m_options.number("--serial");
    release.expires = expiryIn(m_options.number("--expires-days"));
    release.mandatory = m_options.isSet("--mandatory");
    const QString packagePath = m_options.value("--package");
    release.packageName = QFileInfo(packagePath).fileName();
    if (!Sha256::hexOfFile(packagePath, release.packageSha256, release.packageLength)) {
        errorText = QString("cannot read %1").arg(packagePath);
        return false;
    }
    if (!addDeltas(release, errorText))
        return false;
    SigningKey key;
    if (!readSigningKey(m_options.value("--key"), key, errorText))
        return false;
    SignedEnvelope envelope;
    envelope.payloadType = SignedRelease::kPayloadType;
    envelope.payload = release.toBody();
    envelope.sign(key);
    if (!envelope.writeFile(m_options.value("-o"), errorText))
        return false;
    printLine(stdout, QString("wrote %1: %2, expires %3")
                          .arg(m_options.value("-o"), describe(release),
                               formatUtcTimestamp(release.expires)));
    return true;
}

// Each "--delta VERSION=FILE" signs FILE's bytes as the delta from VERSION,
// served beside the package under FILE's name.
bool PublishCommands::addDeltas(SignedRelease& release, QString& errorText) const
{
    const QStringList deltas = m_options.values("--delta");
    for (const QString& value : deltas) {
        SignedRelease::Delta delta;
        delta.from = value.section('=', 0, 0);
        const QString path = value.section('=', 1);
        delta.name = QFileInfo(path).fileName();
        if (!Sha256::hexOfFile(path, delta.sha256, delta.length)) {
            errorText = QString("cannot read %1").arg(path);
            return false;
        }
        release.deltas.append(delta);
    }
    return true;
}

bool PublishCommands::verify(QString& errorText) const
{
    SignedEnvelope rootEnvelope;
    SignedEnvelope releaseEnvelope;
    SignedRelease release;
    if (!SignedEnvelope::readFile(m_options.value("--root"), rootEnvelope, errorText) ||
        !SignedEnvelope::readFile(m_options.arguments.first(), releaseEnvelope, errorText) ||
        failed(checkRelease(rootEnvelope, releaseEnvelope, release), errorText))
        return false;
    if (m_options.isSet("--package") &&
        !checkPackageFile(release, m_options.value("--package"), errorText))
        return false;
    printLine(stdout, describe(release) + ": " + TrustVerdict().text());
    return true;
}

bool PublishCommands::delta(QString& errorText) const
{
    const QString outputDir = m_options.value("--output-dir");
    if (!QDir().mkpath(outputDir)) {
        errorText = QString("cannot make the folder %1").arg(outputDir);
        return false;
    }
    const QStringList earlier = m_options.values("--from");
    return std::all_of(earlier.cbegin(), earlier.cend(),
                       [&](const QString& from) { return writeDelta(from, errorText); });
}

// `versionedPackage` is "VERSION=OLD.zip", as the options checked.
bool PublishCommands::writeDelta(const QString& versionedPackage, QString& errorText) const
{
    const QString from = versionedPackage.section('=', 0, 0);
    const QString newPackage = m_options.value("--package");
    const QString zipPath =
        QDir(m_options.value("--output-dir"))
            .filePath(QFileInfo(newPackage).completeBaseName() + "-from-" + from + ".delta.zip");
    const int level =
        m_options.isSet("--level") ? int(m_options.number("--level")) : ZstdPatch::kDefaultLevel;
    DeltaBuilder builder(versionedPackage.section('=', 1), newPackage, level);
    QTemporaryDir staging;
    if (!staging.isValid() ||
        !builder.build(from, m_options.value("--version"), staging.path(), errorText) ||
        !PackageWriter(staging.path(), zipPath).write(errorText))
        return false;
    const QByteArray line = deltaLine(from, zipPath, errorText);
    if (line.isEmpty())
        return false;
    printLine(stdout, QString::fromUtf8(line));
    printLine(stderr,
              QString("%1: %2").arg(QFileInfo(zipPath).fileName(), describe(builder.totals())));
    return true;
}
