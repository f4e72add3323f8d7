#include "cloudservice/SignedDocumentFile.h"

#include "trust/SignedEnvelope.h"

#include <QDir>

bool SignedDocumentFile::read(const QJsonValue& name, const QString& folder,
                              const QString& payloadType, const QString& what,
                              QJsonObject& envelope, QString& errorText)
{
    const QString fileName = name.toString().trimmed();
    if (fileName.isEmpty()) {
        errorText = QString("a %1 file name must be a non-empty string").arg(what);
        return false;
    }
    SignedEnvelope parsed;
    QString readError;
    if (!SignedEnvelope::readFile(QDir(folder).filePath(fileName), parsed, readError)) {
        errorText = QString("%1 file \"%2\": %3").arg(what, fileName, readError);
        return false;
    }
    // A document of the other type would only be refused by the updater, far
    // from the catalog line that caused it.
    if (parsed.payloadType != payloadType) {
        errorText = QString("%1 file \"%2\": payload type is \"%3\", not \"%4\"")
                        .arg(what, fileName, parsed.payloadType, payloadType);
        return false;
    }
    envelope = parsed.toJson();
    return true;
}
