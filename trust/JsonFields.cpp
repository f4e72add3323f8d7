#include "trust/JsonFields.h"

#include "trust/PublicKey.h"
#include "trust/UtcTimestamp.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// Whole numbers beyond this lose precision as JSON doubles.
constexpr qint64 kLargestExactNumber = qint64(1) << 53;

bool fail(QString& errorText, const QString& key, const char* shape)
{
    errorText = QStringLiteral("\"%1\" must be %2").arg(key, QLatin1String(shape));
    return false;
}

} // namespace

bool readNonEmptyString(const QJsonObject& object, const QString& key, QString& value,
                        QString& errorText)
{
    const QJsonValue member = object.value(key);
    if (!member.isString() || member.toString().isEmpty())
        return fail(errorText, key, "a non-empty string");
    value = member.toString();
    return true;
}

bool readWholeNumber(const QJsonObject& object, const QString& key, qint64 minimum, qint64& value,
                     QString& errorText)
{
    const QJsonValue member = object.value(key);
    const double number = member.toDouble(-1.0);
    if (!member.isDouble() || std::floor(number) != number || number < double(minimum) ||
        number > double(kLargestExactNumber))
        return fail(errorText, key, minimum > 0 ? "a whole number above 0" : "a whole number");
    value = qint64(number);
    return true;
}

bool readTimestamp(const QJsonObject& object, const QString& key, QDateTime& value,
                   QString& errorText)
{
    if (!parseUtcTimestamp(object.value(key).toString(), value))
        return fail(errorText, key, "a time as YYYY-MM-DDTHH:MM:SSZ");
    return true;
}

bool readKeys(const QJsonObject& object, const QString& key, QVector<PublicKey>& keys,
              QString& errorText)
{
    const QJsonValue member = object.value(key);
    const QJsonArray list = member.toArray();
    if (!member.isArray() || list.isEmpty())
        return fail(errorText, key, "a non-empty array of base64 public keys");
    keys.clear();
    for (const QJsonValue& entry : list) {
        PublicKey publicKey;
        if (!PublicKey::fromBase64(entry.toString(), publicKey))
            return fail(errorText, key, "a non-empty array of base64 public keys");
        keys.append(publicKey);
    }
    return true;
}

bool readObject(const QByteArray& json, QJsonObject& object, QString& errorText)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        errorText = QStringLiteral("not a JSON object");
        return false;
    }
    object = document.object();
    return true;
}
