#include "download/DownloadFileNet.h"

#include "download/ProgressDialog.h"
#include "service/TrustedSsl.h"

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
    m_bytesWritten = 0;
    if (!m_file) {
        // Without a file the data would be thrown away; fetching it is pointless.
        qInfo() << QStringLiteral("Download failed: cannot open %1 for writing").arg(m_filePath);
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
    m_reply = m_manager->get(request);
    m_reply->setReadBufferSize(kReadBufferSize);
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
    qInfo() << reason;
    m_failed = true;
    if (m_reply)
        m_reply->abort();
}

void DownloadFileNet::httpReadyRead()
{
    if (!m_reply)
        return;
    m_stallTimer->start(m_stallTimeoutMs);
    const QByteArray data = m_reply->readAll();
    if (!m_file || m_failed)
        return;
    const qint64 written = m_file->write(data);
    if (written != data.size()) {
        failTransfer(QStringLiteral("Download failed: cannot write %1: %2")
                         .arg(m_file->fileName(), writeFailure(*m_file, written, data.size())));
        return;
    }
    m_bytesWritten += data.size();
}

bool DownloadFileNet::transferComplete() const
{
    if (m_reply->error() != QNetworkReply::NoError)
        return false;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !isSuccessStatus(status.toInt())) {
        // A redirect that was not followed, or any other answer without the file.
        qInfo() << QStringLiteral("Download failed: HTTP status %1 from %2")
                       .arg(status.toInt())
                       .arg(m_reply->url().toString());
        return false;
    }
    // A length check is only possible on the bytes as sent, not on a body the
    // network layer has decompressed.
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && !m_reply->hasRawHeader("Content-Encoding") &&
        length.toLongLong() != m_bytesWritten) {
        qInfo() << QStringLiteral("Download failed: received %1 of %2 bytes from %3")
                       .arg(m_bytesWritten)
                       .arg(length.toLongLong())
                       .arg(m_reply->url().toString());
        return false;
    }
    return true;
}

void DownloadFileNet::httpFinished()
{
    m_stallTimer->stop();
    bool succeeded = !m_aborted && !m_failed && transferComplete();
    QString fileName;
    if (m_file) {
        fileName = m_file->fileName();
        if (!m_file->flush() && succeeded) {
            qInfo() << QStringLiteral("Download failed: cannot write %1: %2")
                           .arg(fileName, m_file->errorString());
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
