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
#include <QTimer>

namespace {

// Bounds what the reply holds between two reads, so memory stays flat for
// packages of any size (and reading overlaps writing).
constexpr qint64 kReadBufferSize = 1024 * 1024;

bool isSuccessStatus(int status)
{
    return status >= 200 && status < 300;
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
        failTransfer(QStringLiteral("Download stalled: no data for %1 ms from %2")
                         .arg(m_stallTimeoutMs)
                         .arg(m_url.toString()));
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
    m_file.reset(openFileForWrite());
    m_url = url;
    m_aborted = false;
    m_failed = false;
    m_failure.clear();
    m_bytesWritten = 0;
    m_hash = std::make_unique<Sha256>();
    if (!m_file) {
        // Without a file the data would be thrown away; fetching it is pointless.
        noteFailure(QStringLiteral("Download failed: cannot open %1 for writing").arg(m_filePath));
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
    if (!file->open(QIODevice::WriteOnly))
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
    noteFailure(reason);
    m_failed = true;
    if (m_reply)
        m_reply->abort();
}

// The first reason is the one that counts; what follows is its consequence.
void DownloadFileNet::noteFailure(const QString& reason)
{
    if (!m_failure.isEmpty())
        return;
    qInfo() << reason;
    m_failure = reason;
}

void DownloadFileNet::checkAnnouncedLength()
{
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (m_expectedLength >= 0 && length.isValid() && isSuccessStatus(statusCode(*m_reply)) &&
        length.toLongLong() != m_expectedLength)
        failTransfer(QStringLiteral("Download failed: %1 announces %2 bytes, signed %3")
                         .arg(m_url.toString())
                         .arg(length.toLongLong())
                         .arg(m_expectedLength));
}

bool DownloadFileNet::acceptsMore(qint64 bytes)
{
    if (m_expectedLength < 0 || m_bytesWritten + bytes <= m_expectedLength)
        return true;
    failTransfer(QStringLiteral("Download failed: %1 sends more than the signed %2 bytes")
                     .arg(m_url.toString())
                     .arg(m_expectedLength));
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
        failTransfer(QStringLiteral("Download failed: cannot write %1: %2")
                         .arg(m_file->fileName(), writeFailure(*m_file, written, data.size())));
        return;
    }
    m_bytesWritten += data.size();
}

bool DownloadFileNet::transferComplete()
{
    if (m_reply->error() != QNetworkReply::NoError) {
        noteFailure(QStringLiteral("Download failed: %1 from %2")
                        .arg(m_reply->errorString(), m_reply->url().toString()));
        return false;
    }
    const int status = statusCode(*m_reply);
    if (!isSuccessStatus(status)) {
        // A redirect that was not followed, or any other answer without the file.
        noteFailure(QStringLiteral("Download failed: HTTP status %1 from %2")
                        .arg(status)
                        .arg(m_reply->url().toString()));
        return false;
    }
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != m_bytesWritten) {
        noteFailure(QStringLiteral("Download failed: received %1 of %2 bytes from %3")
                        .arg(m_bytesWritten)
                        .arg(length.toLongLong())
                        .arg(m_reply->url().toString()));
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
        noteFailure(QStringLiteral("Download failed: %1 from %2")
                        .arg(verdict.text(), m_reply->url().toString()));
    return verdict.passed();
}

void DownloadFileNet::httpFinished()
{
    m_stallTimer->stop();
    if (m_aborted)
        noteFailure(QStringLiteral("Download cancelled: %1").arg(m_url.toString()));
    bool succeeded = !m_aborted && !m_failed && transferComplete();
    QString fileName;
    if (m_file) {
        fileName = m_file->fileName();
        if (!m_file->flush() && succeeded) {
            noteFailure(QStringLiteral("Download failed: cannot write %1: %2")
                            .arg(fileName, m_file->errorString()));
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
