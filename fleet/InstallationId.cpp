#include "fleet/InstallationId.h"

#include "layout/InstallationLayout.h"

#include <QDebug>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>

namespace {

constexpr int kIdBytes = 16;

QString makeId()
{
    quint32 words[kIdBytes / 4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(words), kIdBytes).toHex());
}

QString readId(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.read(2 * kIdBytes + 2)).trimmed();
}

bool keepId(const QString& path, const QString& id)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(id.toLatin1() + '\n') < 0)
        return false;
    return file.commit() &&
           QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

QString InstallationId::of(const QString& applicationDir)
{
    const QString path = layout::pathIn(applicationDir, layout::kInstallationId);
    const QString kept = readId(path);
    if (isValid(kept))
        return kept;
    const QString made = makeId();
    if (keepId(path, made))
        return made;
    qInfo() << QString("Update: the installation id cannot be kept in %1; the service is asked "
                       "without one")
                   .arg(path);
    return {};
}

bool InstallationId::isValid(const QString& id)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{32}$"));
    return hex.match(id).hasMatch();
}
