#include "log/LogStruct.h"

#include <QJsonDocument>
#include <QJsonObject>

QByteArray LogStruct::toJson() const
{
    const QJsonObject record{{QStringLiteral("text"), content}, {QStringLiteral("type"), type}};
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}
