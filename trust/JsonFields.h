#pragma once

// Strict readers for the members of a signed document's body. Each is false
// with a reason naming the member when it is missing or of another shape;
// a body that is almost right is as untrusted as one that is wrong.

#include <QDateTime>
#include <QString>
#include <QVector>

class PublicKey;
class QJsonObject;

bool readNonEmptyString(const QJsonObject& object, const QString& key, QString& value,
                        QString& errorText);
// A JSON number that is a whole number in [minimum, 2^53].
bool readWholeNumber(const QJsonObject& object, const QString& key, qint64 minimum, qint64& value,
                     QString& errorText);
bool readTimestamp(const QJsonObject& object, const QString& key, QDateTime& value,
                   QString& errorText);
// A non-empty array of base64 public keys.
bool readKeys(const QJsonObject& object, const QString& key, QVector<PublicKey>& keys,
              QString& errorText);
// The whole of `json` as one object.
bool readObject(const QByteArray& json, QJsonObject& object, QString& errorText);
