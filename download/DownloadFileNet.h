#pragma once

#include "download/DownloadOutcome.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QEventLoop;
class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QSslError;
class QTimer;
class Sha256;

// One HTTP(S) GET streamed into one file. download() returns when the
// transfer is over; afterwards the target file exists only if the whole
// answer arrived and was written, and outcome() says why it does not.
class DownloadFileNet : public QObject
{
    Q_OBJECT

public:
    // A transfer that receives nothing for this long is given up.
    static constexpr int kStallTimeoutMs = 60 * 1000;

    explicit DownloadFileNet(QObject* parent = nullptr);
    ~DownloadFileNet() override;

    void setLabelText(const QString& labelText) { m_labelText = labelText; }
    void setFilePath(const QString& filePath) { m_filePath = filePath; }
    void setShowProgress(bool showProgress) { m_showProgress = showProgress; }
    // Only for tests that cannot wait a minute for a stalled server.
    void setStallTimeout(int milliseconds) { m_stallTimeoutMs = milliseconds; }
    // The body must be exactly `length` bytes with this SHA-256 (lower-case
    // hex), as the vendor signed it: a longer body is cut off as soon as it
    // is, and the hash is taken while the data streams.
    void setExpectedContent(qint64 length, const QByteArray& sha256Hex);

    // Only http and https addresses are fetched; anything else fails before
    // a file is made or a request sent.
    void download(const QUrl& url);
    QFile* openFileForWrite();
    const DownloadOutcome& outcome() const { return m_outcome; }

signals:
    void finished();
    void downloadProgress(qint64 bytesRead, qint64 totalBytes);

public slots:
    void cancelDownload();
    void httpFinished();
    void httpReadyRead();
    void sslErrors(QNetworkReply* reply, const QList<QSslError>& errors);

private:
    void startRequest();
    void waitWithProgressDialog();
    void failTransfer(const QString& reason);
    void abortTransfer();
    void fail(DownloadOutcome::Kind kind, const QString& reason);
    bool hasRoomFor(qint64 bytes);
    void checkAnnouncedLength();
    bool acceptsMore(qint64 bytes);
    bool transferComplete();
    bool contentAsSigned();
    static bool makeParentFolder(const QString& filePath);

    QUrl m_url;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<QEventLoop> m_eventLoop;
    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<QFile> m_file;
    QString m_filePath;
    bool m_aborted = false;
    bool m_showProgress = true;
    QString m_labelText;
    std::unique_ptr<QTimer> m_stallTimer;
    int m_stallTimeoutMs = kStallTimeoutMs;
    bool m_failed = false; // set by write errors and time-outs, which the reply cannot know
    qint64 m_bytesWritten = 0;
    DownloadOutcome m_outcome;
    qint64 m_expectedLength = -1; // -1: nothing signed, any length
    QByteArray m_expectedSha256;
    std::unique_ptr<Sha256> m_hash;
};
