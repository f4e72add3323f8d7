#include "service/BaseService.h"

#include "platform/Platform.h"
#include "service/HttpTransport.h"
#include "service/VersionCheckResult.h"
#include "widgets/WaitingLoadWidget.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <cstring>

namespace {

BaseService* g_instance = nullptr;

const char kSharedMemoryKey[] = "DEDE_ZUVI_ZEDORAV";
const char kPathPrefix[] = "/cloudService";
const char kLogoutPath[] = "/user/logout";
constexpr int kRequestTimeoutMs = 10000;
constexpr int kReloadLoginCode = 1001;
// Enough to see what an exchange was about; release notes run to megabytes.
constexpr int kLoggedBodyBytes = 4096;

QByteArray signature(const QString& token, const QByteArray& timestamp, const QByteArray& body)
{
    return QCryptographicHash::hash(token.toLatin1() + timestamp + body, QCryptographicHash::Md5)
        .toHex();
}

// Qt drops a raw header whose value is a null byte array; an empty token or
// language must still be sent, as an empty header.
QByteArray headerValue(const QString& text)
{
    const QByteArray value = text.toUtf8();
    return value.isNull() ? QByteArray("") : value;
}

QNetworkRequest signedRequest(const QString& url, const QString& token, const QString& langType,
                              const QString& installationId, const QByteArray& body)
{
    // One clock reading serves the header and the signature.
    const QByteArray timestamp = QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("platform", "2");
    request.setRawHeader("langType", headerValue(langType));
    request.setRawHeader("version", "1.0.0");
    request.setRawHeader("timestamp", timestamp);
    request.setRawHeader("token", headerValue(token));
    request.setRawHeader("sign", signature(token, timestamp, body));
    request.setRawHeader("Content-Type", "application/json;charset=UTF-8");
    // A header, not a member of the body: services may compare the body of
    // a version check field by field.
    if (!installationId.isEmpty())
        request.setRawHeader("X-Installation-Id", installationId.toLatin1());
    return request;
}

HttpResult send(int method, QNetworkRequest& request, const QString& url, const QByteArray& body)
{
    switch (method) {
    case BaseService::Get:
        request.setUrl(QUrl(url + QString::fromUtf8(body), QUrl::TolerantMode));
        return httpGet(request, kRequestTimeoutMs);
    case BaseService::Post:
        return httpPost(request, body, true, kRequestTimeoutMs);
    case BaseService::Put:
        return httpPut(request, body, kRequestTimeoutMs);
    case BaseService::Delete:
        return httpDelete(request, kRequestTimeoutMs);
    default:
        return HttpResult();
    }
}

// The groups of QNetworkReply::NetworkError.
QString errorClassText(int code)
{
    if (code >= 1 && code <= 99)
        return QObject::tr("Server connection error");
    if (code >= 101 && code <= 199)
        return QObject::tr("The proxy error");
    if (code >= 201 && code <= 299)
        return QObject::tr("Content error");
    if (code >= 301 && code <= 399)
        return QObject::tr("Protocol error");
    if (code >= 401 && code <= 499)
        return QObject::tr("Server-side error");
    return QObject::tr("Unknown mistake");
}

bool isUtf8Continuation(char byte)
{
    return (uchar(byte) & 0xC0) == 0x80;
}

// A body as the log shows it: whole when short, otherwise its start, never
// ending in half a character, and how long it was.
QString loggedBody(const QByteArray& body)
{
    if (body.size() <= kLoggedBodyBytes)
        return QString::fromUtf8(body);
    int cut = kLoggedBodyBytes;
    // A UTF-8 character has at most three continuation bytes.
    while (cut > kLoggedBodyBytes - 3 && isUtf8Continuation(body.at(cut)))
        --cut;
    return QString::fromUtf8(body.left(cut)) +
           QStringLiteral("... [%1 of %2 bytes logged]").arg(cut).arg(body.size());
}

QByteArray serialize(const QVariant& record)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly))
        return QByteArray();
    QDataStream stream(&buffer);
    stream << record;
    return bytes;
}

} // namespace

BaseService::BaseService()
{
    m_sharedMemory.setKey(QString::fromLatin1(kSharedMemoryKey));
    QVariant record;
    if (readSharedContext(m_sharedMemory, record))
        takeContext(record);
}

BaseService* BaseService::instance()
{
    if (!g_instance)
        g_instance = new BaseService();
    return g_instance;
}

QVariant BaseService::contextRecord() const
{
    QVariantMap map;
    map.insert(QStringLiteral("serviceUrl"), m_serviceUrl);
    map.insert(QStringLiteral("token"), m_token);
    map.insert(QStringLiteral("langType"), m_langType);
    return QVariant(map);
}

void BaseService::takeContext(const QVariant& record)
{
    const QVariantMap map = record.toMap();
    m_serviceUrl = map.value(QStringLiteral("serviceUrl")).toString();
    m_token = map.value(QStringLiteral("token")).toString();
    m_langType = map.value(QStringLiteral("langType")).toString();
}

void BaseService::setServiceContext(const QString& serviceUrl, const QString& token,
                                    const QString& langType, bool publish)
{
    m_serviceUrl = serviceUrl;
    m_token = token;
    m_langType = langType;
    const QVariant record = contextRecord();
    if (publish && !writeSharedContext(m_sharedMemory, record))
        qInfo() << QString("BaseService 共享内存写入失败");
}

bool BaseService::sendRequest(RequestMethod method, const QString& path, const QByteArray& body,
                              QJsonObject& response, QString& errorText, bool quiet)
{
    const QString url = normalizeServiceUrl(m_serviceUrl) + QLatin1String(kPathPrefix) + path;
    QNetworkRequest request = signedRequest(url, m_token, m_langType, m_installationId, body);
    qInfo() << QString("Url: [%1] Request:%2").arg(url, loggedBody(body));

    if (!quiet)
        WaitingLoadWidget::instance()->show();
    const HttpResult result = send(method, request, url, body);
    m_lastTransportError = result.code;
    if (!quiet)
        WaitingLoadWidget::instance()->close();

    qInfo() << QString("Url: [%1] HttpCode:%2 Response:%3")
                   .arg(path)
                   .arg(result.code)
                   .arg(loggedBody(result.body));
    return interpretOutcome(path, result.code, result.body, response, errorText);
}

void BaseService::postInBackground(const QString& path, const QByteArray& body, int timeoutMs,
                                   std::function<void(bool)> done)
{
    const QString url = normalizeServiceUrl(m_serviceUrl) + QLatin1String(kPathPrefix) + path;
    qInfo() << QString("Url: [%1] Request in the background:%2").arg(url, loggedBody(body));
    ++m_inBackground;
    httpPostInBackground(
        signedRequest(url, m_token, m_langType, m_installationId, body), body, timeoutMs,
        [this, path, done](const HttpResult& result) {
            --m_inBackground;
            qInfo() << QString("Url: [%1] HttpCode:%2 Response:%3")
                           .arg(path)
                           .arg(result.code)
                           .arg(loggedBody(result.body));
            QJsonObject response;
            QString errorText;
            done(interpretOutcome(path, result.code, result.body, response, errorText));
        });
}

void BaseService::waitForBackground(int timeoutMs)
{
    if (m_inBackground == 0)
        return;
    QElapsedTimer waited;
    waited.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (m_inBackground == 0 || waited.hasExpired(timeoutMs))
            loop.quit();
    });
    poll.start(20);
    loop.exec();
}

bool BaseService::interpretOutcome(const QString& path, int code, const QByteArray& body,
                                   QJsonObject& response, QString& errorText)
{
    if (code != 0) {
        errorText =
            QStringLiteral(" ") + tr("Request error") + QStringLiteral(":") + errorClassText(code);
        return false;
    }
    if (body.isEmpty()) {
        errorText = tr("Service returns empty");
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || document.isNull()) {
        errorText = tr("Json parse fault");
        return false;
    }
    const QJsonObject answer = document.object();
    if (answer.value(QStringLiteral("success")) == QJsonValue(true)) {
        response = answer;
        return true;
    }
    const int serviceCode = answer.value(QStringLiteral("code")).toInt();
    const QString message = answer.value(QStringLiteral("message")).toString();
    errorText = QStringLiteral("%1:%2 <br> %3:%4")
                    .arg(tr("code"))
                    .arg(serviceCode)
                    .arg(tr("error"), message);
    if (serviceCode == kReloadLoginCode && path != QLatin1String(kLogoutPath))
        emit signalsReloadLogin();
    return false;
}

bool BaseService::checkVersion(const QString& platformType, const QString& softwareRoot,
                               const QString& versionType, const QString& version,
                               VersionCheckResult& result, QString& errorText, bool quiet)
{
    QJsonObject request;
    request.insert(QStringLiteral("platformType"), platformType);
    request.insert(QStringLiteral("softwareRoot"), softwareRoot);
    request.insert(QStringLiteral("version"), version);
    request.insert(QStringLiteral("versionType"), versionType);
    const QByteArray body = QJsonDocument(request).toJson(QJsonDocument::Compact);

    QJsonObject answer;
    if (!sendRequest(Post, QStringLiteral("/version/checkVersion"), body, answer, errorText, quiet))
        return false;
    const QJsonObject data = answer.value(QStringLiteral("data")).toObject();
    if (!data.isEmpty())
        result.fillFromJson(data);
    return true;
}

bool readSharedContext(QSharedMemory& memory, QVariant& record)
{
    // Only a context that a running process holds counts; a segment left by
    // an owner that ended without detaching is dropped first.
    platform::releaseStaleSharedMemory(memory.key());
    if (!memory.attach(QSharedMemory::ReadWrite))
        return false;
    memory.lock();
    QByteArray copy(static_cast<const char*>(memory.constData()), memory.size());
    QBuffer buffer(&copy);
    const bool opened = buffer.open(QIODevice::ReadOnly);
    if (opened) {
        // Whatever follows the record is ignored; a foreign content gives an
        // invalid or unexpected value, which the caller converts as it can.
        QDataStream stream(&buffer);
        stream >> record;
        buffer.close();
    }
    memory.unlock();
    return opened;
}

bool writeSharedContext(QSharedMemory& memory, const QVariant& record)
{
    if (memory.isAttached() && !memory.detach())
        return false;
    const QByteArray bytes = serialize(record);
    if (bytes.isEmpty())
        return false;
    // A leftover of an owner that ended without detaching would block every
    // later publication; a segment that a live process holds stays.
    platform::releaseStaleSharedMemory(memory.key());
    if (!memory.create(bytes.size(), QSharedMemory::ReadWrite))
        return false;
    memory.lock();
    std::memcpy(memory.data(), bytes.constData(), qMin<qint64>(memory.size(), bytes.size()));
    memory.unlock();
    return true;
}

QString normalizeServiceUrl(const QString& address)
{
    if (address.contains(QLatin1String("http://"), Qt::CaseInsensitive) ||
        address.contains(QLatin1String("https://"), Qt::CaseInsensitive))
        return address;
    return QStringLiteral("http://") + address;
}
