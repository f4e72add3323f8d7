#include "trust/TrustState.h"

#include "trust/JsonFields.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace {
const QString kReleases = QStringLiteral("releases");
const QString kSerial = QStringLiteral("serial");
const QString kSha256 = QStringLiteral("sha256");
} // namespace

bool TrustState::load(const QString& path, TrustState& state, QString& errorText)
{
    QFile file(path);
    if (!file.exists()) {
        state = TrustState();
        return true;
    }
    QJsonObject object;
    if (!file.open(QIODevice::ReadOnly) || !readObject(file.readAll(), object, errorText) ||
        !object.value(kReleases).isObject()) {
        errorText = QStringLiteral("%1 cannot be read as a record of seen releases").arg(path);
        return false;
    }
    state.m_releases = object.value(kReleases).toObject();
    return true;
}

bool TrustState::save(const QString& path, QString& errorText) const
{
    QSaveFile file(path);
    const QByteArray json = QJsonDocument(QJsonObject{{kReleases, m_releases}}).toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        errorText = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

TrustState::Seen TrustState::seen(const QString& softwareRoot, const QString& versionType) const
{
    const QJsonObject entry =
        m_releases.value(softwareRoot).toObject().value(versionType).toObject();
    Seen seen;
    QString ignored;
    if (!readWholeNumber(entry, kSerial, 0, seen.serial, ignored))
        return Seen();
    seen.bodySha256 = entry.value(kSha256).toString().toLatin1();
    return seen;
}

void TrustState::record(const QString& softwareRoot, const QString& versionType, const Seen& seen)
{
    QJsonObject types = m_releases.value(softwareRoot).toObject();
    types.insert(versionType, QJsonObject{{kSerial, double(seen.serial)},
                                          {kSha256, QString::fromLatin1(seen.bodySha256)}});
    m_releases.insert(softwareRoot, types);
}
