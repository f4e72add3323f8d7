#include "download/DownloadFileNet.h"

#include "download/ProgressDialog.h"
#include "service/TrustedSsl.h"
#include "trust/ReleaseVerifier.h"
#include "trust/Sha256.h"
#include "trust/SignedRelease.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QStorageInfo>
#include <QTimer>

namespace {

// Bounds what the reply holds between two reads, so memory stays flat for
// packages of any size (and reading overlaps writing).
constexpr qint64 kReadBufferSize = 1024 * 1024;

bool isSuccessStatus(int status)
{
    return status >= 200 && status < 300;
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
      m_eventLoop(std::make_unique<QEventLoop>()), m_stallTimer(std::make_unique<QTimer>())
{
    connect(m_manager.get(), &QNetworkAccessManager::sslErrors, this, &DownloadFileNet::sslErrors);
    m_stallTimer->setSingleShot(true);
    connect(m_stallTimer.get(), &QTimer::timeout, this, [this] {
        failTransfer(QStringLiteral("stalled, no data for %1 ms").arg(m_stallTimeoutMs));
    });
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
    m_failed = false;
    m_outcome = DownloadOutcome();
    m_bytesWritten = 0;
    m_hash = std::make_unique<Sha256>();
    // A file:// address would copy any local file the updater may read into
    // the work folder; ftp and the like have no place in an update.
    if (!isWebAddress(url)) {
        fail(DownloadOutcome::Kind::Failed,
             QStringLiteral("only http and https addresses are downloaded"));
        return;
    }
    if (m_expectedLength >= 0 && !hasRoomFor(m_expectedLength))
        return;
    m_file.reset(openFileForWrite());
    if (!m_file) {
        // Without a file the data would be thrown away; fetching it is pointless.
        fail(DownloadOutcome::Kind::Failed,
             QStringLiteral("cannot open %1 for writing").arg(m_filePath));
        return;
    }
    startRequest();
    if (m_showProgress)
        waitWithProgressDialog();
    // The dialog closes itself once the bar is full, which may come before the
    // reply has finished; the file is complete only after httpFinished.
    if (m_reply)
        m_eventLoop->exec();
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
    m_reply = m_manager->get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &DownloadFileNet::checkAnnouncedLength);
    connect(m_reply, &QNetworkReply::finished, this, &DownloadFileNet::httpFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownloadFileNet::httpReadyRead);
    connect(m_reply, &QNetworkReply::finished, m_eventLoop.get(), &QEventLoop::quit);
    if (!m_showProgress)
        connect(m_reply, &QNetworkReply::downloadProgress, this,
                &DownloadFileNet::downloadProgress);
    m_stallTimer->start(m_stallTimeoutMs);
}

void DownloadFileNet::waitWithProgressDialog()
{
    auto* dialog = new ProgressDialog(QString(), m_labelText, nullptr);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QProgressDialog::canceled, this, &DownloadFileNet::cancelDownload);
    connect(m_reply, &QNetworkReply::downloadProgress, dialog,
            &ProgressDialog::networkReplyProgress);
    connect(m_reply, &QNetworkReply::finished, dialog, &QWidget::hide);
    dialog->exec();
}

QFile* DownloadFileNet::openFileForWrite()
{
    QFile::remove(m_filePath);
    if (!makeParentFolder(m_filePath))
        return nullptr;
    auto file = std::make_unique<QFile>(m_filePath);
    // Narrowed while still empty: nobody else reads what the updater fetches.
    if (!file->open(QIODevice::WriteOnly) ||
        !file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return nullptr;
    return file.release();
}

// Only the folder is made here: a general path helper would take a package name
// without a suffix for a folder and create one where the file must go.
bool DownloadFileNet::makeParentFolder(const QString& filePath)
{
    return !filePath.isEmpty() && QDir().mkpath(QFileInfo(filePath).absolutePath());
}

void DownloadFileNet::cancelDownload()
{
    if (!m_reply)
        return;
    m_aborted = true;
    m_reply->abort();
    if (m_eventLoop->isRunning())
        m_eventLoop->quit();
}

void DownloadFileNet::failTransfer(const QString& reason)
{
    fail(DownloadOutcome::Kind::Failed, reason);
    abortTransfer();
}

void DownloadFileNet::abortTransfer()
{
    m_failed = true;
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

bool DownloadFileNet::hasRoomFor(qint64 bytes)
{
    const qint64 available = freeSpaceFor(m_filePath) + m_bytesWritten;
    if (bytes <= available)
        return true;
    fail(DownloadOutcome::Kind::NoSpace, QStringLiteral("not enough disk space"));
    m_outcome.needed = bytes;
    m_outcome.available = available;
    return false;
}

void DownloadFileNet::checkAnnouncedLength()
{
    const QVariant header = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (!header.isValid() || !isSuccessStatus(statusCode(*m_reply)))
        return;
    const qint64 length = header.toLongLong();
    if (m_expectedLength >= 0 && length != m_expectedLength)
        failTransfer(QStringLiteral("the server announces %1 bytes, signed %2")
                         .arg(length)
                         .arg(m_expectedLength));
    else if (!hasRoomFor(length))
        abortTransfer();
}

bool DownloadFileNet::acceptsMore(qint64 bytes)
{
    if (m_expectedLength < 0 || m_bytesWritten + bytes <= m_expectedLength)
        return true;
    failTransfer(
        QStringLiteral("the server sends more than the signed %1 bytes").arg(m_expectedLength));
    return false;
}

void DownloadFileNet::httpReadyRead()
{
    if (!m_reply)
        return;
    m_stallTimer->start(m_stallTimeoutMs);
    const QByteArray data = m_reply->readAll();
    if (!m_file || m_failed || !acceptsMore(data.size()))
        return;
    if (m_expectedLength >= 0)
        m_hash->addData(data.constData(), data.size());
    const qint64 written = m_file->write(data);
    if (written != data.size()) {
        failTransfer(QStringLiteral("cannot write %1: %2")
                         .arg(m_file->fileName(), writeFailure(*m_file, written, data.size())));
        return;
    }
    m_bytesWritten += data.size();
}

bool DownloadFileNet::transferComplete()
{
    // The server's own answer says more than the error Qt makes of it.
    const int status = statusCode(*m_reply);
    if (!isSuccessStatus(status)) {
        // A redirect that was not followed, or any other answer without the file.
        fail(DownloadOutcome::Kind::Failed, QStringLiteral("HTTP status %1").arg(status));
        return false;
    }
    if (m_reply->error() != QNetworkReply::NoError) {
        fail(DownloadOutcome::Kind::Failed, m_reply->errorString());
        return false;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != m_bytesWritten) {
        fail(
            DownloadOutcome::Kind::Failed,
            QStringLiteral("received %1 of %2 bytes").arg(m_bytesWritten).arg(length.toLongLong()));
        return false;
    }
    return contentAsSigned();
}

bool DownloadFileNet::contentAsSigned()
{
    if (m_expectedLength < 0)
        return true;
    SignedRelease signedContent;
    signedContent.packageLength = m_expectedLength;
    signedContent.packageSha256 = m_expectedSha256;
    const TrustVerdict verdict =
        ReleaseVerifier::checkPackage(signedContent, m_bytesWritten, m_hash->hexDigest());
    if (!verdict.passed())
        fail(DownloadOutcome::Kind::Failed, verdict.text());
    return verdict.passed();
}

void DownloadFileNet::httpFinished()
{
    m_stallTimer->stop();
    if (m_aborted)
        fail(DownloadOutcome::Kind::Cancelled, QStringLiteral("cancelled"));
    bool succeeded = !m_aborted && !m_failed && transferComplete();
    QString fileName;
    if (m_file) {
        fileName = m_file->fileName();
        if (!m_file->flush() && succeeded) {
            fail(DownloadOutcome::Kind::Failed,
                 QStringLiteral("cannot write %1: %2").arg(fileName, m_file->errorString()));
            succeeded = false;
        }
        m_file->close();
        m_file.reset();
    }
    if (!succeeded && !fileName.isEmpty())
        QFile::remove(QFileInfo(fileName).absoluteFilePath());
    m_reply->deleteLater();
    m_reply = nullptr;
}

void DownloadFileNet::sslErrors(QNetworkReply* /*reply*/, const QList<QSslError>& errors)
{
    // Not ignored: the handshake fails, the reply ends with an error and the
    // partial file is removed.
    qInfo() << tr("SSL Errors")
            << tr("One or more SSL errors has occurred:\n%1").arg(joinSslErrors(errors));
}
