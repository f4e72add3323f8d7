#pragma once

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

// One HTTP(S) GET streamed into one file. download() returns when the
// transfer is over; afterwards the target file exists only if the whole
// answer arrived and was written.
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

    void download(const QUrl& url);
    QFile* openFileForWrite();

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
    bool transferComplete() const;
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
};
