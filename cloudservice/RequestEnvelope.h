#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <string>

namespace httplib {
struct Request;
}

// The signed envelope of every service call: the fixed headers with the MD5
// signature over token, timestamp and body, a JSON object as body, and the
// answer {"success", "code", "message", "data"}.
class RequestEnvelope
{
public:
    // Service codes of our own for requests we refuse; 0 means success.
    enum Code
    {
        Success = 0,
        MissingHeader = 4001,
        BadTimestamp = 4002,
        BadSignature = 4003,
        BadJsonBody = 4004,
        BadMember = 4005,
        MissingInstallation = 4006,
        ReportsBacklogged = 4007,
    };

    // Headers present, timestamp decimal, signature right: Success, otherwise
    // the code with a readable message.
    static Code verify(const httplib::Request& request, QString& message);
    // The body as a JSON object whose `members` are all strings.
    static Code parseBody(const std::string& body, const QStringList& members, QJsonObject& object,
                          QString& message);
    // The header "X-Installation-Id" when it is 32 lowercase hex digits,
    // otherwise empty: older updaters send none.
    static QString installationId(const httplib::Request& request);
    static QByteArray signature(const QByteArray& tokenLatin1, const QByteArray& timestamp,
                                const QByteArray& body);

    static std::string answer(Code code, const QString& message, const QJsonObject& data);
};
