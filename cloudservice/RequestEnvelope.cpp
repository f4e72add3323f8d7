#include "cloudservice/RequestEnvelope.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonParseError>
#include <httplib.h>

namespace {

// "langType" and "token" may legitimately be empty, and httplib 0.11 drops
// header lines with an empty value while parsing, so for those two an absent
// header has to count as an empty one.
const char* const requiredHeaders[] = {"platform", "version", "timestamp", "sign"};

bool isDecimal(const std::string& text)
{
    if (text.empty() || text.size() > 20)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

RequestEnvelope::Code RequestEnvelope::verify(const httplib::Request& request, QString& message)
{
    for (const char* header : requiredHeaders) {
        if (!request.has_header(header)) {
            message = QString("missing or empty header \"%1\"").arg(header);
            return MissingHeader;
        }
    }
    const std::string timestamp = request.get_header_value("timestamp");
    if (!isDecimal(timestamp)) {
        message = "header \"timestamp\" must be decimal milliseconds";
        return BadTimestamp;
    }
    // The client signs its token converted to Latin-1 but sends it as UTF-8,
    // so the same conversion is needed here for tokens beyond ASCII.
    const QByteArray token =
        QString::fromUtf8(request.get_header_value("token").c_str()).toLatin1();
    const QByteArray expected = signature(token, QByteArray::fromStdString(timestamp),
                                          QByteArray::fromStdString(request.body));
    if (request.get_header_value("sign") != expected.toStdString()) {
        message = "header \"sign\" does not match the request";
        return BadSignature;
    }
    return Success;
}

RequestEnvelope::Code RequestEnvelope::parseBody(const std::string& body,
                                                 const QStringList& members, QJsonObject& object,
                                                 QString& message)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        message = "the body must be a JSON object";
        return BadJsonBody;
    }
    object = document.object();
    for (const QString& member : members) {
        if (!object.value(member).isString()) {
            message = QString("member \"%1\" must be a string").arg(member);
            return BadMember;
        }
    }
    return Success;
}

QString RequestEnvelope::installationId(const httplib::Request& request)
{
    const std::string id = request.get_header_value("X-Installation-Id");
    if (id.size() != 32)
        return QString();
    for (const char c : id) {
        if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'f'))
            return QString();
    }
    return QString::fromLatin1(id.data(), int(id.size()));
}

QByteArray RequestEnvelope::signature(const QByteArray& tokenLatin1, const QByteArray& timestamp,
                                      const QByteArray& body)
{
    return QCryptographicHash::hash(tokenLatin1 + timestamp + body, QCryptographicHash::Md5)
        .toHex();
}

std::string RequestEnvelope::answer(Code code, const QString& message, const QJsonObject& data)
{
    QJsonObject envelope;
    envelope.insert("success", code == Success);
    envelope.insert("code", int(code));
    envelope.insert("message", message);
    envelope.insert("data", data);
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact).toStdString();
}
