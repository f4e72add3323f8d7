#pragma once

#include "download/DownloadOutcome.h"
#include "download/PartialDownload.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QEventLoop;
class QFile;
class QNetworkReply;
class QNetworkAccessManager;
class QSslError;
class QTimer;
class ProgressDialog;
class Sha256;

// One HTTP(S) GET streamed into one file. download() returns when the
// transfer is over; afterwards the target file exists only if the whole
// answer arrived and was written, and outcome() says why it does not.
//
// The bytes go to the target's part file first (PartialDownload::partPath)
// and are renamed into place once complete. A download that fails, rather
// than being cancelled, keeps its part and a record of it whenever the server
// named a validator, so that the next download() of the same address into the
// same file, also by a later run, asks the server only for the rest.
class DownloadFileNet : public QObject
{
    Q_OBJECT

public:
    // A transfer that brings less than kLowSpeedBytesPerSecond, averaged over
    // kLowSpeedWindowMs, has stalled: the package address is not signed, and
    // a server that drips a byte now and then would otherwise hold the
    // download open for hours.
    static constexpr int kLowSpeedBytesPerSecond = 1024;
    static constexpr int kLowSpeedWindowMs = 30 * 1000;
    // A stall is tried again only while the stalled windows, the pauses
    // after them and one more window fit in this many windows (90 s): a
    // server that answers and then sends nothing is given up within that.
    static constexpr int kStallBudgetWindows = 3;
    // Lost connections, stalls (within their budget) and busy servers (5xx,
    // 429) are tried again up to this often within one download(), after 1, 2
    // and 4 s, or after the server's Retry-After up to kMaxRetryAfterSeconds.
    static constexpr int kMaxRetries = 3;
    static constexpr int kMaxRetryAfterSeconds = 30;

    explicit DownloadFileNet(QObject* parent = nullptr);
    ~DownloadFileNet() override;

    void setLabelText(const QString& labelText) { m_labelText = labelText; }
    void setFilePath(const QString& filePath) { m_filePath = filePath; }
    void setShowProgress(bool showProgress) { m_showProgress = showProgress; }
    // Only for tests, which cannot wait for a stall: shortens the low-speed
    // window, and with it the stall budget, which counts in windows.
    void setLowSpeedWindow(int milliseconds) { m_lowSpeedWindowMs = milliseconds; }
    // Only for tests and benchmarks: how often to retry, and how long the
    // seconds of the pauses before retries (Retry-After included) last.
    void setMaxRetries(int retries) { m_maxRetries = retries; }
    void setRetrySecond(int milliseconds) { m_retrySecondMs = milliseconds; }
    // The body must be exactly `length` bytes with this SHA-256 (lower-case
    // hex), as the vendor signed it: a longer body is cut off as soon as it
    // is, and the hash is taken while the data streams.
    void setExpectedContent(qint64 length, const QByteArray& sha256Hex);

    // Only http and https addresses are fetched; anything else fails before
    // a file is made or a request sent.
    void download(const QUrl& url);
    const DownloadOutcome& outcome() const { return m_outcome; }

signals:
    void finished();
    // bytesRead counts the bytes kept from an earlier transfer as well;
    // totalBytes is the whole file, -1 while it is not known.
    void downloadProgress(qint64 bytesRead, qint64 totalBytes);

public slots:
    // Ends the download at once, also between two attempts, and removes
    // everything it has written.
    void cancelDownload();
    void httpFinished();
    void httpReadyRead();
    void sslErrors(QNetworkReply* reply, const QList<QSslError>& errors);

private:
    // How one request ended, and so what the download does next.
    enum class Attempt
    {
        Running,
        Complete,
        Retry,     // the connection or the server failed for now
        Stalled,   // too few bytes in a window: retried within the stall budget
        StartOver, // the server cannot continue the part
        Corrupt,   // a file put together from several transfers has the wrong hash
        Failed,
    };

    bool prepareTarget();
    void runAttempts();
    bool tryAgain(Attempt attempt, int& retries);
    bool spendStallBudget(int retry);
    Attempt attemptOnce();
    bool openPart();
    qint64 resumableBytes() const;
    bool hashKeptPart(qint64 bytes);
    bool truncatePart();
    void discardPart();
    void forgetPartBytes();
    void startRequest();
    void checkSpeed();
    std::unique_ptr<ProgressDialog> showProgressDialog();
    bool pauseBeforeRetry(int retry);
    int retryPauseSeconds(int retry) const;
    void checkAnswer();
    void acceptWhole();
    void acceptRange();
    void accept(qint64 bodyStart, qint64 totalLength);
    void saveRecord();
    void reportProgress(qint64 received, qint64 total);
    void failTransfer(Attempt attempt, const QString& reason);
    void abortTransfer(Attempt attempt);
    void fail(DownloadOutcome::Kind kind, const QString& reason);
    void cancelled();
    bool hasRoomFor(qint64 bytes);
    bool acceptsMore(qint64 bytes);
    void writeAvailable();
    Attempt judgeAttempt();
    Attempt judgeStatus(int status);
    Attempt failAtProxy();
    bool contentAsSigned();
    bool closePart();
    void finishFile();
    void settlePart();
    bool signedContent() const { return m_expectedLength >= 0; }
    static bool makeParentFolder(const QString& filePath);

    QUrl m_url;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    std::unique_ptr<QEventLoop> m_eventLoop;
    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<QFile> m_file; // the part, open while a request runs
    QString m_filePath;
    bool m_running = false;
    bool m_aborted = false;
    bool m_showProgress = true;
    QString m_labelText;
    std::unique_ptr<QTimer> m_windowTimer;
    std::unique_ptr<QTimer> m_pauseTimer;
    int m_lowSpeedWindowMs = kLowSpeedWindowMs;
    qint64 m_windowBytes = 0;  // received in the current low-speed window
    qint64 m_stallSpentMs = 0; // stalled windows and the pauses after them
    int m_maxRetries = kMaxRetries;
    int m_retrySecondMs = 1000;
    int m_retryAfterSeconds = -1; // the last answer's Retry-After; -1: none
    Attempt m_attempt = Attempt::Running;
    bool m_accepted = false;       // the answer's body belongs in the part
    bool m_startedOver = false;    // a refused range leads to one fresh request only
    bool m_hashFailed = false;     // and a wrong hash to one more whole transfer at most
    bool m_spansTransfers = false; // the part holds bytes of more than one answer
    qint64 m_partSize = 0;
    qint64 m_bodyStart = 0; // where the current answer's body goes in the file
    qint64 m_hashedBytes = 0;
    DownloadOutcome m_outcome;
    qint64 m_expectedLength = -1; // -1: nothing signed, any length
    QByteArray m_expectedSha256;
    std::unique_ptr<Sha256> m_hash;
    PartialDownload m_record;
};
