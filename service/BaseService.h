#pragma once

// The client of the vendor's cloud service: the service context every request
// carries, its hand-over between processes through shared memory, the signed
// request envelope and the calls built on it.

#include <QObject>
#include <QSharedMemory>
#include <QString>

#include <functional>

class QByteArray;
class QJsonObject;
class QVariant;
class VersionCheckResult;

class BaseService : public QObject
{
    Q_OBJECT

public:
    // Selects the HTTP method of a request; other values send nothing.
    enum RequestMethod : int
    {
        Get = 0,
        Post = 1,
        Put = 2,
        Delete = 3
    };

    // The one instance of the process, created (and the shared context read)
    // on first use and kept until the process ends.
    static BaseService* instance();

    // Replaces the context; with `publish` also writes it into the shared
    // segment for other processes.
    void setServiceContext(const QString& serviceUrl, const QString& token, const QString& langType,
                           bool publish);

    // One signed exchange with the service, waiting for its outcome. True when
    // the service answered a JSON object whose "success" is true; `response`
    // then holds that object, otherwise `errorText` says what went wrong.
    bool sendRequest(RequestMethod method, const QString& path, const QByteArray& body,
                     QJsonObject& response, QString& errorText, bool quiet);

    // Sent with every request from now on; empty sends none.
    void setInstallationId(const QString& id) { m_installationId = id; }

    // One signed request whose answer nobody waits for: `done` learns from
    // the event loop whether the service took it, unless the process ends
    // first.
    void postInBackground(const QString& path, const QByteArray& body, int timeoutMs,
                          std::function<void(bool taken)> done);
    // Lets the requests under way in the background finish, for at most
    // `timeoutMs`.
    void waitForBackground(int timeoutMs);

    // Asks which version of `softwareRoot` is current for this installation.
    bool checkVersion(const QString& platformType, const QString& softwareRoot,
                      const QString& versionType, const QString& version,
                      VersionCheckResult& result, QString& errorText, bool quiet);

    // 0 when the last request got an answer, else the
    // QNetworkReply::NetworkError it failed with.
    int lastTransportError() const { return m_lastTransportError; }

signals:
    // The service asks for the login to be renewed.
    void signalsReloadLogin();

private:
    BaseService();

    QVariant contextRecord() const;
    void takeContext(const QVariant& record);
    bool interpretOutcome(const QString& path, int code, const QByteArray& body,
                          QJsonObject& response, QString& errorText);

    QSharedMemory m_sharedMemory;
    QString m_serviceUrl;
    QString m_token;
    QString m_langType;
    QString m_installationId;
    int m_lastTransportError = 0;
    int m_inBackground = 0;
};

// Reads the context record from the start of the segment `memory` is keyed
// to, attaching to it; false when there is no segment to attach to.
bool readSharedContext(QSharedMemory& memory, QVariant& record);

// Creates the segment with exactly the record's serialized length and fills
// it; false when the segment cannot be created (another process holds one).
bool writeSharedContext(QSharedMemory& memory, const QVariant& record);

// `address` as a URL: "http://" in front unless it names a scheme already.
QString normalizeServiceUrl(const QString& address);
