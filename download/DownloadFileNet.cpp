#include "download/DownloadFileNet.h"

#include "download/ProgressDialog.h"
#include "network/ProxySettings.h"
#include "service/TrustedSsl.h"
#include "trust/ReleaseVerifier.h"
#include "trust/Sha256.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslError>
#include <QStorageInfo>
#include <QTimer>

namespace {

// Bounds what the reply holds between two reads, so memory stays flat for
// packages of any size (and reading overlaps writing). When a connection
// breaks, Qt drops what it still held back for this bound, so a kept part
// may end up to about this much short of what the server sent.
constexpr qint64 kReadBufferSize = 1024 * 1024;

bool isSuccessStatus(int status)
{
    return status >= 200 && status < 300;
}

// Busy or failing for the moment: asking again later may succeed.
bool isTransientStatus(int status)
{
    return status == 429 || (status >= 500 && status < 600);
}

// A lost or refused connection may come back; a certificate that does not
// verify, a refused redirect or an answer Qt cannot read will not.
bool isConnectionError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

bool atProxy(QNetworkReply::NetworkError error)
{
    return ProxySettings::isRefusal(error) || ProxySettings::isUnreachable(error);
}

bool isWebAddress(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// The free space where `filePath` goes, asked of its nearest folder that
// exists: the file's own may not have been made yet.
qint64 freeSpaceFor(const QString& filePath)
{
    QFileInfo folder(QFileInfo(filePath).absolutePath());
    while (!folder.isDir() && !folder.isRoot())
        folder.setFile(folder.absolutePath());
    return QStorageInfo(folder.absoluteFilePath()).bytesAvailable();
}

// 200 for answers without a status line of their own.
int statusCode(const QNetworkReply& reply)
{
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : 200;
}

qint64 contentLength(const QNetworkReply& reply)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() ? length.toLongLong() : -1;
}

// Only the form in seconds; -1 when there is none.
int retryAfterSeconds(const QNetworkReply& reply)
{
    bool ok = false;
    const int seconds = reply.rawHeader("Retry-After").trimmed().toInt(&ok);
    return ok && seconds >= 0 ? seconds : -1;
}

// A weak ETag may stay the same while the bytes change, so it cannot vouch
// for appending to the bytes already kept.
QByteArray validatorOf(const QNetworkReply& reply)
{
    const QByteArray etag = reply.rawHeader("ETag").trimmed();
    if (etag.startsWith('"'))
        return etag;
    return reply.rawHeader("Last-Modified").trimmed();
}

struct ContentRange
{
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};

// "bytes FIRST-LAST/TOTAL"; anything else, an unknown total included, gives
// a range that matches nothing.
ContentRange contentRangeOf(const QNetworkReply& reply)
{
    static const QRegularExpression pattern(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
    const QRegularExpressionMatch match =
        pattern.match(QString::fromLatin1(reply.rawHeader("Content-Range").trimmed()));
    ContentRange range;
    if (match.hasMatch()) {
        range.first = match.captured(1).toLongLong();
        range.last = match.captured(2).toLongLong();
        range.total = match.captured(3).toLongLong();
    }
    return range;
}

// A short write (disk full, size limit) sets no error of its own.
QString writeFailure(const QFile& file, qint64 written, qint64 wanted)
{
    if (file.error() != QFileDevice::NoError && written < 0)
        return file.errorString();
    return QStringLiteral("%1 of %2 bytes written, disk full?")
        .arg(qMax<qint64>(written, 0))
        .arg(wanted);
}

} // namespace

DownloadFileNet::DownloadFileNet(QObject* parent)
    : QObject(parent), m_manager(std::make_unique<QNetworkAccessManager>()),
      m_eventLoop(std::make_unique<QEventLoop>()), m_windowTimer(std::make_unique<QTimer>()),
      m_pauseTimer(std::make_unique<QTimer>())
{
    connect(m_manager.get(), &QNetworkAccessManager::sslErrors, this, &DownloadFileNet::sslErrors);
    connect(m_windowTimer.get(), &QTimer::timeout, this, &DownloadFileNet::checkSpeed);
    m_pauseTimer->setSingleShot(true);
    connect(m_pauseTimer.get(), &QTimer::timeout, m_eventLoop.get(), &QEventLoop::quit);
}

void DownloadFileNet::setExpectedContent(qint64 length, const QByteArray& sha256Hex)
{
    m_expectedLength = length;
    m_expectedSha256 = sha256Hex;
}

DownloadFileNet::~DownloadFileNet()
{
    // Callers let every download finish; should one still run, it must not
    // leave a partial file behind.
    cancelDownload();
}

void DownloadFileNet::download(const QUrl& url)
{
    m_url = url;
    m_aborted = false;
    m_outcome = DownloadOutcome();
    m_startedOver = false;
    m_hashFailed = false;
    m_stallSpentMs = 0;
    // A file:// address would copy any local file the updater may read into
    // the work folder; ftp and the like have no place in an update.
    if (!isWebAddress(url)) {
        fail(DownloadOutcome::Kind::Failed,
             QStringLiteral("only http and https addresses are downloaded"));
        return;
    }
    if (!prepareTarget())
        return;
    ProxySettings::read().applyTo(*m_manager, url);
    m_record = PartialDownload::read(m_filePath);
    forgetPartBytes();
    const std::unique_ptr<ProgressDialog> dialog = showProgressDialog();
    m_running = true;
    runAttempts();
    m_running = false;
    settlePart();
}

// An older file must not pass for this download's, and without a way to
// put the file in place, fetching it is pointless.
bool DownloadFileNet::prepareTarget()
{
    const bool cleared = QFile::remove(m_filePath) || !QFileInfo::exists(m_filePath);
    if (cleared && makeParentFolder(m_filePath))
        return true;
    fail(DownloadOutcome::Kind::Failed,
         QStringLiteral("cannot open %1 for writing").arg(m_filePath));
    return false;
}

// Only the folder is made here: a general path helper would take a package name
// without a suffix for a folder and create one where the file must go.
bool DownloadFileNet::makeParentFolder(const QString& filePath)
{
    return !filePath.isEmpty() && QDir().mkpath(QFileInfo(filePath).absolutePath());
}

std::unique_ptr<ProgressDialog> DownloadFileNet::showProgressDialog()
{
    if (!m_showProgress)
        return nullptr;
    auto dialog = std::make_unique<ProgressDialog>(QString(), m_labelText, nullptr);
    connect(dialog.get(), &QProgressDialog::canceled, this, &DownloadFileNet::cancelDownload);
    connect(this, &DownloadFileNet::downloadProgress, dialog.get(),
            &ProgressDialog::networkReplyProgress);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
    return dialog;
}

void DownloadFileNet::runAttempts()
{
    int retries = 0;
    Attempt attempt = attemptOnce();
    while (tryAgain(attempt, retries))
        attempt = attemptOnce();
    if (attempt == Attempt::Complete)
        finishFile();
}

bool DownloadFileNet::tryAgain(Attempt attempt, int& retries)
{
    switch (attempt) {
    case Attempt::Retry:
        return retries < m_maxRetries && pauseBeforeRetry(retries++);
    case Attempt::Stalled:
        return retries < m_maxRetries && spendStallBudget(retries) && pauseBeforeRetry(retries++);
    case Attempt::StartOver:
        if (m_startedOver)
            return false;
        m_startedOver = true;
        discardPart();
        qInfo() << QStringLiteral("Download: starting over from byte 0 (%1)").arg(m_url.toString());
        return true;
    case Attempt::Corrupt: {
        // Which transfer brought the wrong bytes cannot be told; one
        // transfer of the whole file can be judged on its own.
        const bool refetch = m_spansTransfers && !m_hashFailed;
        m_hashFailed = true;
        discardPart();
        if (refetch)
            qInfo() << QStringLiteral("Download: fetching the whole file once more (%1)")
                           .arg(m_url.toString());
        return refetch;
    }
    default:
        return false;
    }
}

DownloadFileNet::Attempt DownloadFileNet::attemptOnce()
{
    m_outcome = DownloadOutcome();
    m_attempt = Attempt::Running;
    m_accepted = false;
    m_retryAfterSeconds = -1;
    if (!openPart() || (signedContent() && !hasRoomFor(m_expectedLength - m_partSize))) {
        closePart();
        return Attempt::Failed;
    }
    startRequest();
    // A reply ends only through the event loop, so it is still running here.
    m_eventLoop->exec();
    // Qt may already be sending the same request again on its own after a
    // dropped connection, with nobody to read the answer; closing every
    // connection keeps that from fetching the file a second time.
    if (m_attempt != Attempt::Complete)
        m_manager->clearConnectionCache();
    return m_attempt;
}

bool DownloadFileNet::openPart()
{
    const qint64 kept = resumableBytes();
    if (kept == 0)
        discardPart();
    auto file = std::make_unique<QFile>(PartialDownload::partPath(m_filePath));
    // Narrowed while still empty: nobody else reads what the updater fetches.
    if (!file->open(kept > 0 ? QIODevice::ReadWrite : QIODevice::WriteOnly) ||
        !file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        fail(DownloadOutcome::Kind::Failed,
             QStringLiteral("cannot open %1 for writing").arg(file->fileName()));
        return false;
    }
    m_file = std::move(file);
    m_partSize = kept;
    // A part that cannot be read back is fetched again from the start.
    if (kept > 0 && !(hashKeptPart(kept) && m_file->seek(kept)))
        return truncatePart();
    return true;
}

// The bytes of the part that a range request may continue: none unless the
// record describes this very download and a part the server's file can
// still hold.
qint64 DownloadFileNet::resumableBytes() const
{
    const qint64 size = QFileInfo(PartialDownload::partPath(m_filePath)).size();
    const bool resumes =
        m_record.isFor(m_url, m_expectedLength, m_expectedSha256) && m_record.canResume(size);
    return resumes ? size : 0;
}

// The hash covers the whole file: bytes kept from an earlier download() are
// read once before more follow.
bool DownloadFileNet::hashKeptPart(qint64 bytes)
{
    if (!signedContent() || m_hashedBytes == bytes)
        return true;
    m_hash = std::make_unique<Sha256>();
    const qint64 hashed = m_hash->addFrom(*m_file, bytes);
    m_hashedBytes = qMax<qint64>(hashed, 0);
    return hashed == bytes;
}

bool DownloadFileNet::truncatePart()
{
    forgetPartBytes();
    if (m_file->resize(0) && m_file->seek(0))
        return true;
    fail(DownloadOutcome::Kind::Failed,
         QStringLiteral("cannot write %1: %2").arg(m_file->fileName(), m_file->errorString()));
    return false;
}

void DownloadFileNet::discardPart()
{
    PartialDownload::remove(m_filePath);
    m_record = PartialDownload();
    forgetPartBytes();
}

void DownloadFileNet::forgetPartBytes()
{
    m_partSize = 0;
    m_hashedBytes = 0;
    m_spansTransfers = false;
    m_hash = std::make_unique<Sha256>();
}

// Books the stalled window, and the pause before the retry if it and one
// more window still fit in the budget.
bool DownloadFileNet::spendStallBudget(int retry)
{
    const qint64 pauseMs = qint64(retryPauseSeconds(retry)) * m_retrySecondMs;
    const qint64 budgetMs = qint64(kStallBudgetWindows) * m_lowSpeedWindowMs;
    m_stallSpentMs += m_lowSpeedWindowMs;
    if (m_stallSpentMs + pauseMs + m_lowSpeedWindowMs > budgetMs) {
        qInfo() << QStringLiteral("Download: no retry, stalls have used up %1 of %2 s (%3)")
                       .arg(m_stallSpentMs / 1000.0)
                       .arg(budgetMs / 1000.0)
                       .arg(m_url.toString());
        return false;
    }
    m_stallSpentMs += pauseMs;
    return true;
}

void DownloadFileNet::startRequest()
{
    QNetworkRequest request(m_url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setSslConfiguration(trustedSslConfiguration());
    // The file must hold the bytes as sent, which are the ones signed; asked
    // for an encoding of its own, Qt also leaves the body undecoded instead
    // of inflating it in memory.
    request.setRawHeader("Accept-Encoding", "identity");
    if (m_partSize > 0) {
        // Should the file have changed since, the server sends all of it.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_partSize) + '-');
        request.setRawHeader("If-Range", m_record.validator);
    }
    m_reply = m_manager->get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &DownloadFileNet::checkAnswer);
    connect(m_reply, &QNetworkReply::finished, this, &DownloadFileNet::httpFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownloadFileNet::httpReadyRead);
    connect(m_reply, &QNetworkReply::finished, m_eventLoop.get(), &QEventLoop::quit);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownloadFileNet::reportProgress);
    m_windowBytes = 0;
    m_windowTimer->start(m_lowSpeedWindowMs);
}

// Judged on what a whole window brought, so that a byte now and then does
// not pass for a transfer that is still going.
void DownloadFileNet::checkSpeed()
{
    const qint64 least = qint64(kLowSpeedBytesPerSecond) * m_lowSpeedWindowMs / 1000;
    if (m_windowBytes < least)
        failTransfer(Attempt::Stalled,
                     QStringLiteral("the server sent only %1 bytes in %2 s, less than %3 KiB/s")
                         .arg(m_windowBytes)
                         .arg(m_lowSpeedWindowMs / 1000.0)
                         .arg(kLowSpeedBytesPerSecond / 1024));
    m_windowBytes = 0;
}

bool DownloadFileNet::pauseBeforeRetry(int retry)
{
    const int seconds = retryPauseSeconds(retry);
    qInfo() << QStringLiteral("Download: retry %1 of %2 in %3 s (%4)")
                   .arg(retry + 1)
                   .arg(m_maxRetries)
                   .arg(seconds)
                   .arg(m_url.toString());
    m_pauseTimer->start(seconds * m_retrySecondMs);
    m_eventLoop->exec();
    if (m_aborted)
        cancelled();
    return !m_aborted;
}

int DownloadFileNet::retryPauseSeconds(int retry) const
{
    if (m_retryAfterSeconds >= 0)
        return qMin(m_retryAfterSeconds, kMaxRetryAfterSeconds);
    return 1 << qMin(retry, 10);
}

void DownloadFileNet::cancelDownload()
{
    if (!m_running)
        return;
    m_aborted = true;
    m_pauseTimer->stop();
    if (m_reply)
        m_reply->abort();
    if (m_eventLoop->isRunning())
        m_eventLoop->quit();
}

// Decides, once the headers are in, whether the body continues the part,
// replaces it or does not belong in it at all.
void DownloadFileNet::checkAnswer()
{
    if (!m_reply || m_accepted || m_attempt != Attempt::Running)
        return;
    const int status = statusCode(*m_reply);
    if (status == 206)
        acceptRange();
    else if (isSuccessStatus(status))
        acceptWhole();
}

void DownloadFileNet::acceptWhole()
{
    if (m_partSize > 0) {
        qInfo() << QStringLiteral("Download: the server sends the whole file, %1 bytes kept "
                                  "are dropped (%2)")
                       .arg(m_partSize)
                       .arg(m_url.toString());
        if (!truncatePart()) {
            abortTransfer(Attempt::Failed);
            return;
        }
    }
    const qint64 length = contentLength(*m_reply);
    if (signedContent() && length >= 0 && length != m_expectedLength)
        failTransfer(Attempt::Failed, QStringLiteral("the server announces %1 bytes, signed %2")
                                          .arg(length)
                                          .arg(m_expectedLength));
    else if (length >= 0 && !hasRoomFor(length))
        abortTransfer(Attempt::Failed);
    else
        accept(0, length);
}

// Appending is right only for exactly the rest of the file the part began.
void DownloadFileNet::acceptRange()
{
    const ContentRange range = contentRangeOf(*m_reply);
    const qint64 whole = signedContent()  ? m_expectedLength
                         : m_partSize > 0 ? m_record.totalLength
                                          : range.total;
    if (range.first != m_partSize || range.last != range.total - 1 || range.total != whole) {
        failTransfer(Attempt::StartOver,
                     QStringLiteral("asked for bytes %1- of %2, the server sends \"%3\"")
                         .arg(m_partSize)
                         .arg(whole)
                         .arg(QString::fromLatin1(m_reply->rawHeader("Content-Range"))));
        return;
    }
    if (!hasRoomFor(range.total - range.first)) {
        abortTransfer(Attempt::Failed);
        return;
    }
    m_spansTransfers = m_partSize > 0;
    accept(range.first, range.total);
}

void DownloadFileNet::accept(qint64 bodyStart, qint64 totalLength)
{
    m_accepted = true;
    m_bodyStart = bodyStart;
    const QByteArray validator = validatorOf(*m_reply);
    // A range answer need not repeat the validator its If-Range matched.
    if (!validator.isEmpty() || bodyStart == 0)
        m_record.validator = validator;
    m_record.url = m_url;
    m_record.totalLength = totalLength;
    m_record.signedLength = m_expectedLength;
    m_record.signedSha256 = m_expectedSha256;
    saveRecord();
    if (bodyStart > 0)
        emit downloadProgress(bodyStart, totalLength);
}

// Written before the body arrives, so that even a crash leaves a part a
// later run can resume.
void DownloadFileNet::saveRecord()
{
    const QString path = PartialDownload::recordPath(m_filePath);
    if (m_record.validator.isEmpty())
        QFile::remove(path);
    else if (!m_record.write(m_filePath))
        qInfo()
            << QStringLiteral("Download: cannot write %1, a later attempt starts over").arg(path);
}

void DownloadFileNet::reportProgress(qint64 received, qint64 total)
{
    if (m_accepted)
        emit downloadProgress(m_bodyStart + received, total < 0 ? -1 : m_bodyStart + total);
}

void DownloadFileNet::failTransfer(Attempt attempt, const QString& reason)
{
    fail(DownloadOutcome::Kind::Failed, reason);
    abortTransfer(attempt);
}

void DownloadFileNet::abortTransfer(Attempt attempt)
{
    m_attempt = attempt;
    if (m_reply)
        m_reply->abort();
}

// The first reason is the one that counts; what follows is its consequence.
void DownloadFileNet::fail(DownloadOutcome::Kind kind, const QString& reason)
{
    if (!m_outcome.complete())
        return;
    m_outcome.kind = kind;
    m_outcome.reason = reason;
    if (kind == DownloadOutcome::Kind::Cancelled)
        qInfo() << QStringLiteral("Download cancelled (%1)").arg(m_url.toString());
    else
        qInfo() << QStringLiteral("Download failed: %1 (%2)").arg(reason, m_url.toString());
}

// Whatever else went wrong before, the user's cancel is what ends it.
void DownloadFileNet::cancelled()
{
    m_outcome = DownloadOutcome();
    fail(DownloadOutcome::Kind::Cancelled, QStringLiteral("cancelled"));
}

bool DownloadFileNet::hasRoomFor(qint64 bytes)
{
    const qint64 available = freeSpaceFor(m_filePath);
    if (bytes <= available)
        return true;
    fail(DownloadOutcome::Kind::NoSpace, QStringLiteral("not enough disk space"));
    m_outcome.needed = bytes;
    m_outcome.available = available;
    return false;
}

bool DownloadFileNet::acceptsMore(qint64 bytes)
{
    if (!signedContent() || m_partSize + bytes <= m_expectedLength)
        return true;
    failTransfer(
        Attempt::Failed,
        QStringLiteral("the server sends more than the signed %1 bytes").arg(m_expectedLength));
    return false;
}

void DownloadFileNet::httpReadyRead()
{
    if (m_reply)
        writeAvailable();
}

void DownloadFileNet::writeAvailable()
{
    const QByteArray data = m_reply->readAll();
    m_windowBytes += data.size();
    if (!m_accepted || m_attempt != Attempt::Running || !m_file || !acceptsMore(data.size()))
        return;
    const qint64 written = m_file->write(data);
    if (written != data.size()) {
        failTransfer(Attempt::Failed,
                     QStringLiteral("cannot write %1: %2")
                         .arg(m_file->fileName(), writeFailure(*m_file, written, data.size())));
        return;
    }
    m_partSize += data.size();
    if (signedContent()) {
        m_hash->addData(data.constData(), data.size());
        m_hashedBytes += data.size();
    }
}

DownloadFileNet::Attempt DownloadFileNet::judgeAttempt()
{
    if (m_aborted) {
        cancelled();
        return Attempt::Failed;
    }
    if (m_attempt != Attempt::Running)
        return m_attempt;
    // A proxy's refusal may carry a status of its own, which is not the
    // server's answer.
    if (atProxy(m_reply->error()))
        return failAtProxy();
    // The server's own answer says more than the error Qt makes of it.
    const int status = statusCode(*m_reply);
    if (!isSuccessStatus(status))
        return judgeStatus(status);
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(DownloadOutcome::Kind::Failed, m_reply->errorString());
        return isConnectionError(m_reply->error()) ? Attempt::Retry : Attempt::Failed;
    }
    const qint64 announced = contentLength(*m_reply);
    const qint64 received = m_partSize - m_bodyStart;
    if (announced >= 0 && announced != received) {
        fail(DownloadOutcome::Kind::Failed,
             QStringLiteral("received %1 of %2 bytes").arg(received).arg(announced));
        return Attempt::Retry;
    }
    return contentAsSigned() ? Attempt::Complete : Attempt::Corrupt;
}

// Credentials that were refused will be refused again; a proxy that did
// not answer may come back.
DownloadFileNet::Attempt DownloadFileNet::failAtProxy()
{
    const bool refused = ProxySettings::isRefusal(m_reply->error());
    fail(refused ? DownloadOutcome::Kind::ProxyRefused : DownloadOutcome::Kind::ProxyUnreachable,
         m_reply->errorString());
    m_outcome.proxy = ProxySettings::label(m_manager->proxy());
    return refused ? Attempt::Failed : Attempt::Retry;
}

DownloadFileNet::Attempt DownloadFileNet::judgeStatus(int status)
{
    // A redirect that was not followed, or any other answer without the file.
    fail(DownloadOutcome::Kind::Failed, QStringLiteral("HTTP status %1").arg(status));
    if (status == 416)
        return Attempt::StartOver;
    if (!isTransientStatus(status))
        return Attempt::Failed;
    m_retryAfterSeconds = retryAfterSeconds(*m_reply);
    return Attempt::Retry;
}

bool DownloadFileNet::contentAsSigned()
{
    if (!signedContent())
        return true;
    const TrustVerdict verdict = ReleaseVerifier::checkPackage(m_expectedLength, m_expectedSha256,
                                                               m_partSize, m_hash->hexDigest());
    m_hashedBytes = 0;
    if (!verdict.passed())
        fail(DownloadOutcome::Kind::Failed, verdict.text());
    return verdict.passed();
}

void DownloadFileNet::httpFinished()
{
    // What arrived before a connection broke still counts: the part keeps it.
    if (m_reply->isOpen())
        writeAvailable();
    m_windowTimer->stop();
    m_attempt = judgeAttempt();
    if (!closePart())
        m_attempt = Attempt::Failed;
    m_reply->deleteLater();
    m_reply = nullptr;
}

bool DownloadFileNet::closePart()
{
    if (!m_file)
        return true;
    const bool flushed = m_file->flush();
    if (!flushed)
        fail(DownloadOutcome::Kind::Failed,
             QStringLiteral("cannot write %1: %2").arg(m_file->fileName(), m_file->errorString()));
    m_file->close();
    m_file.reset();
    return flushed;
}

// Only a complete part becomes the file; its record has served its purpose.
void DownloadFileNet::finishFile()
{
    const QString part = PartialDownload::partPath(m_filePath);
    QFile::remove(m_filePath);
    if (!QFile::rename(part, m_filePath)) {
        fail(DownloadOutcome::Kind::Failed,
             QStringLiteral("cannot rename %1 to %2").arg(part, m_filePath));
        return;
    }
    QFile::remove(PartialDownload::recordPath(m_filePath));
}

// A failed download keeps what a later one can continue; a cancelled one,
// or one that met a wrong hash, keeps nothing.
void DownloadFileNet::settlePart()
{
    if (m_outcome.complete())
        return;
    const QString part = PartialDownload::partPath(m_filePath);
    const qint64 size = QFileInfo(part).size();
    const bool keep = m_outcome.kind != DownloadOutcome::Kind::Cancelled && !m_hashFailed &&
                      m_record.isFor(m_url, m_expectedLength, m_expectedSha256) &&
                      m_record.canResume(size);
    if (!keep) {
        PartialDownload::remove(m_filePath);
        return;
    }
    qInfo() << QStringLiteral("Download: %1 of %2 bytes kept in %3 for a later attempt")
                   .arg(size)
                   .arg(m_record.expectedLength())
                   .arg(part);
}

void DownloadFileNet::sslErrors(QNetworkReply* /*reply*/, const QList<QSslError>& errors)
{
    // Not ignored: the handshake fails, the reply ends with an error and the
    // partial file is removed.
    qInfo() << tr("SSL Errors")
            << tr("One or more SSL errors has occurred:\n%1").arg(joinSslErrors(errors));
}
