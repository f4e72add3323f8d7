#include "download/PartialDownload.h"

#include "layout/InstallationLayout.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

// Far larger than any record; a bigger file is not one of ours.
constexpr qint64 kMaximumRecordSize = 64 * 1024;

qint64 lengthIn(const QJsonObject& json, const char* key)
{
    const QJsonValue value = json.value(QLatin1String(key));
    return value.isDouble() ? qint64(value.toDouble()) : -1;
}

QByteArray latin1In(const QJsonObject& json, const char* key)
{
    return json.value(QLatin1String(key)).toString().toLatin1();
}

} // namespace

QString PartialDownload::partPath(const QString& filePath)
{
    return filePath + QLatin1String(layout::kDownloadPartSuffix);
}

QString PartialDownload::recordPath(const QString& filePath)
{
    return filePath + QLatin1String(layout::kDownloadRecordSuffix);
}

PartialDownload PartialDownload::read(const QString& filePath)
{
    QFile file(recordPath(filePath));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaximumRecordSize)
        return PartialDownload();
    const QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    PartialDownload record;
    record.url = QUrl(json.value(QLatin1String("url")).toString());
    record.validator = latin1In(json, "validator");
    record.totalLength = lengthIn(json, "totalLength");
    record.signedLength = lengthIn(json, "signedLength");
    record.signedSha256 = latin1In(json, "signedSha256");
    return record;
}

bool PartialDownload::write(const QString& filePath) const
{
    QJsonObject json{{"url", url.toString(QUrl::FullyEncoded)},
                     {"validator", QString::fromLatin1(validator)},
                     {"totalLength", double(totalLength)}};
    if (signedLength >= 0) {
        json.insert("signedLength", double(signedLength));
        json.insert("signedSha256", QString::fromLatin1(signedSha256));
    }
    const QByteArray text = QJsonDocument(json).toJson();
    QSaveFile file(recordPath(filePath));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

void PartialDownload::remove(const QString& filePath)
{
    QFile::remove(partPath(filePath));
    QFile::remove(recordPath(filePath));
}

bool PartialDownload::isFor(const QUrl& otherUrl, qint64 otherSignedLength,
                            const QByteArray& otherSignedSha256) const
{
    return url.isValid() && url == otherUrl && signedLength == otherSignedLength &&
           signedSha256.compare(otherSignedSha256, Qt::CaseInsensitive) == 0;
}

bool PartialDownload::canResume(qint64 partSize) const
{
    return !validator.isEmpty() && partSize > 0 && partSize <= expectedLength();
}
