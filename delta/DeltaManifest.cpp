#include "delta/DeltaManifest.h"

#include "install/InstallJournal.h"
#include "trust/JsonFields.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

const QString DeltaManifest::kFileName = QStringLiteral("delta.json");

namespace {

using Method = DeltaManifest::File::Method;

QString methodName(Method method)
{
    return method == Method::Patch ? QStringLiteral("patch") : QStringLiteral("whole");
}

bool readDigest(const QJsonObject& object, const QString& key, QByteArray& digest,
                QString& errorText)
{
    static const QRegularExpression hexDigest(QStringLiteral("^[0-9a-f]{64}$"));
    QString text;
    if (!readNonEmptyString(object, key, text, errorText) || !hexDigest.match(text).hasMatch()) {
        errorText = QStringLiteral("\"%1\" must be a lower-case hex SHA-256").arg(key);
        return false;
    }
    digest = text.toLatin1();
    return true;
}

bool readMethod(const QJsonObject& object, DeltaManifest::File& file, QString& errorText)
{
    const QString name = object.value(QStringLiteral("method")).toString();
    if (name != methodName(Method::Patch) && name != methodName(Method::Whole)) {
        errorText = QStringLiteral("\"method\" must be \"patch\" or \"whole\"");
        return false;
    }
    file.method = name == methodName(Method::Patch) ? Method::Patch : Method::Whole;
    if (file.method == Method::Patch)
        return readDigest(object, QStringLiteral("before"), file.before, errorText);
    if (object.contains(QStringLiteral("before"))) {
        errorText = QStringLiteral("a whole file has no \"before\"");
        return false;
    }
    return true;
}

bool readFile(const QJsonValue& value, DeltaManifest::File& file, QString& errorText)
{
    const QJsonObject object = value.toObject();
    if (!readNonEmptyString(object, QStringLiteral("path"), file.path, errorText) ||
        !readMethod(object, file, errorText) ||
        !readDigest(object, QStringLiteral("after"), file.after, errorText) ||
        !readWholeNumber(object, QStringLiteral("size"), 0, file.size, errorText))
        return false;
    if (!DeltaManifest::isSafePath(file.path)) {
        errorText = QStringLiteral("\"%1\" is not a plain relative path").arg(file.path);
        return false;
    }
    return true;
}

// Windows and macOS take names that differ in letter case for one file.
bool readFiles(const QJsonArray& array, QVector<DeltaManifest::File>& files, QString& errorText)
{
    QSet<QString> seen;
    for (const QJsonValue& value : array) {
        DeltaManifest::File file;
        if (!readFile(value, file, errorText))
            return false;
        if (seen.contains(file.path.toCaseFolded())) {
            errorText = QStringLiteral("\"%1\" is listed twice").arg(file.path);
            return false;
        }
        seen.insert(file.path.toCaseFolded());
        files.append(file);
    }
    return true;
}

} // namespace

QByteArray DeltaManifest::toJson() const
{
    QJsonArray list;
    for (const File& file : files) {
        QJsonObject entry{{QStringLiteral("path"), file.path},
                          {QStringLiteral("method"), methodName(file.method)},
                          {QStringLiteral("after"), QString::fromLatin1(file.after)},
                          {QStringLiteral("size"), double(file.size)}};
        if (file.method == Method::Patch)
            entry.insert(QStringLiteral("before"), QString::fromLatin1(file.before));
        list.append(entry);
    }
    const QJsonObject body{{QStringLiteral("format"), kFormatVersion},
                           {QStringLiteral("fromVersion"), fromVersion},
                           {QStringLiteral("toVersion"), toVersion},
                           {QStringLiteral("files"), list}};
    return QJsonDocument(body).toJson(QJsonDocument::Indented);
}

bool DeltaManifest::fromJson(const QByteArray& json, DeltaManifest& manifest, QString& errorText)
{
    QJsonObject body;
    DeltaManifest parsed;
    qint64 format = 0;
    if (!readObject(json, body, errorText) ||
        !readWholeNumber(body, QStringLiteral("format"), 1, format, errorText) ||
        !readNonEmptyString(body, QStringLiteral("fromVersion"), parsed.fromVersion, errorText) ||
        !readNonEmptyString(body, QStringLiteral("toVersion"), parsed.toVersion, errorText)) {
        errorText = kFileName + QStringLiteral(": ") + errorText;
        return false;
    }
    if (format != kFormatVersion || !body.value(QStringLiteral("files")).isArray()) {
        errorText =
            kFileName +
            QStringLiteral(": format %1 with a \"files\" list expected").arg(kFormatVersion);
        return false;
    }
    if (!readFiles(body.value(QStringLiteral("files")).toArray(), parsed.files, errorText)) {
        errorText = kFileName + QStringLiteral(": ") + errorText;
        return false;
    }
    manifest = parsed;
    return true;
}

bool DeltaManifest::isSafePath(const QString& path)
{
    static const QRegularExpression control(QStringLiteral("[\\x00-\\x1f]"));
    return isContainedRelativePath(path) && !control.match(path).hasMatch();
}

QString DeltaManifest::entryOf(const File& file)
{
    return file.method == Method::Patch ? QStringLiteral("patches/") + file.path + ".zst"
                                        : QStringLiteral("files/") + file.path;
}
