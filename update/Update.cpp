#include "update/Update.h"

#include "config/ConfigIni.h"
#include "fleet/InstallationId.h"
#include "health/RefusedRelease.h"
#include "install/PackageInstaller.h"
#include "layout/InstallationLayout.h"
#include "network/ProxySettings.h"
#include "service/BaseService.h"
#include "service/OutcomeSender.h"
#include "trust/SignedRelease.h"
#include "trust/TrustVerdict.h"
#include "update/WatchSequence.h"
#include "widgets/BoundedPlainText.h"
#include "widgets/MessageBoxDlg.h"

#include <QCoreApplication>
#include <QDebug>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QUrl>

#include <cstdlib>

namespace {

constexpr int kOk = 1024;
// Notes are not signed: any server may send megabytes of them.
constexpr int kMaxNotesBytes = 64 * 1024;

void logUpdate(const QString& text)
{
    qInfo() << QString("Update: %1").arg(text);
}

} // namespace

Update::Update(bool updateMode, QWidget* parent) : QMainWindow(parent)
{
    versionInfo.clear();
    ui.setupUi(this);
    // Versions come from config.ini and the service; neither is markup.
    ui.lb_oldVersion->setTextFormat(Qt::PlainText);
    ui.lb_newVersion->setTextFormat(Qt::PlainText);
    initTextTable();
    softwareRoot.clear();
    mainProgram.clear();
    downloading = false;
    applyTexts();
    this->updateMode = updateMode;
    connect(ui.pb_update, &QPushButton::clicked, this, &Update::slotUpdateNowClick);
    connect(ui.pb_cancel, &QPushButton::clicked, this, &Update::slotCancelClick);
}

Update::~Update() = default;

void Update::setLaunchArguments(QString softwareRoot, QString versionType, QString mainProgram,
                                QString language)
{
    this->softwareRoot = softwareRoot;
    this->versionType = versionType;
    this->mainProgram = mainProgram;
    this->language = language;
    applyTexts();
}

bool Update::checkForUpdate()
{
    const QString serviceIp = configuredServiceHost();
    const QString serviceAddress = configuredServiceAddress();
    currentVersion = readConfigValue("Version", "Version", QString());
    warnUnlessVerified();
    const QString proxy = proxyInUse(QUrl(normalizeServiceUrl(serviceAddress)));
    const bool pinged = probeService(serviceIp, proxy);

    versionInfo.clear();
    BaseService::instance()->setServiceContext(serviceAddress, QString(), QString(), false);
    BaseService::instance()->setInstallationId(InstallationId::of(layout::installationDir()));
    QString errorText;
    if (!BaseService::instance()->checkVersion("2", softwareRoot, versionType, currentVersion,
                                               versionInfo, errorText, true))
        endUnanswered(pinged, proxy);
    OutcomeSender::sendPending(layout::installationDir(), softwareRoot, versionType);
    if (!pinged)
        logUpdate(QString("%1 did not answer the ping, yet the service answered: the network "
                          "blocks ICMP, and only the version check tells whether the service "
                          "can be reached")
                      .arg(serviceIp));
    if (!offersUsableRelease()) {
        if (updateMode)
            endProcess();
        endWithBox(QString::fromUtf8("无法连接到服务器"), false, "Error",
                   "Query program version error, unable to update temporarily", "Confirm");
    }

    if (!versionInfo.needUpdate) {
        if (updateMode)
            endProcess();
        endWithBox(QString::fromUtf8("已是最新版本"), true, "Prompt", "It's the latest version",
                   "I see");
    }

    const TrustVerdict verdict = verifyOffer();
    if (!verdict.passed())
        endUnverified(verdict);
    if (offersRefusedRelease())
        endRefused();

    showVersionInfo();
    return true;
}

void Update::presentOffer()
{
    show();
    logUpdate(QString("the offer of %1 is shown").arg(versionInfo.version));
    if (!versionInfo.forceUpdate)
        return;
    // The user sees why the main program goes away before it does.
    QCoreApplication::processEvents();
    stopMainProgram();
}

QString Update::proxyInUse(const QUrl& serviceUrl) const
{
    const ProxySettings proxies = ProxySettings::read();
    if (proxies.configuredValueUnusable())
        logUpdate("config.ini [Network] Proxy is neither http://[user:password@]host:port nor "
                  "\"none\"; the system's proxy settings apply");
    const QString proxy = proxies.describe(serviceUrl);
    if (!proxy.isEmpty())
        logUpdate(QString("through the proxy %1").arg(proxy));
    return proxy;
}

// Through a proxy a ping says nothing about reaching the service: the
// version check decides. Without one, a failed ping is what tells an
// unreachable service from one that answers badly.
bool Update::probeService(const QString& serviceIp, const QString& proxy)
{
    return !proxy.isEmpty() || pingServer(serviceIp);
}

void Update::endUnanswered(bool pinged, const QString& proxy)
{
    const auto error = QNetworkReply::NetworkError(BaseService::instance()->lastTransportError());
    if (ProxySettings::isRefusal(error)) {
        logUpdate(QString("the proxy %1 refused the request: its user name or password is "
                          "missing or wrong")
                      .arg(proxy));
        endCheckWithError(proxyRefusedText(proxy));
    }
    if (ProxySettings::isUnreachable(error)) {
        logUpdate(QString("the proxy %1 cannot be reached").arg(proxy));
        endCheckWithError(proxyUnreachableText(proxy));
    }
    if (error == QNetworkReply::SslHandshakeFailedError) {
        logUpdate("the service's certificate is not trusted");
        endCheckWithError(localText("The server's certificate is not trusted"));
    }
    if (updateMode)
        endProcess();
    if (!pinged)
        endWithBox(QString::fromUtf8("无法连接到服务器"), false, "Prompt",
                   "Unable to connect to server", "Confirm");
    endWithBox(QString::fromUtf8("无法连接到服务器"), false, "Error",
               "Query program version error, unable to update temporarily", "Confirm");
}

void Update::endUnverified(const TrustVerdict& verdict)
{
    reportOutcome("failed", "notVerified",
                  verdict.check() == TrustVerdict::ReleaseExpiry
                      ? "the release has expired"
                      : "the release could not be verified");
    if (updateMode)
        endProcess();
    // A release that expired on its way here most often meets a wrong clock.
    const char* content = verdict.check() == TrustVerdict::ReleaseExpiry
                              ? "The release has expired; check this computer's date and time"
                              : "The update could not be verified and will not be installed";
    endWithBox(QString::fromUtf8("更新未通过验证"), false, "Error", content, "Confirm");
}

bool Update::offersRefusedRelease() const
{
    const qint64 serial = m_signedRelease ? m_signedRelease->serial : -1;
    return RefusedRelease::refuses(layout::applicationPath(layout::kConfigIni), versionInfo.version,
                                   serial);
}

void Update::endRefused()
{
    logUpdate(QString("version %1 was taken back on this computer and is not offered again")
                  .arg(versionInfo.version));
    endCheckWithError(localText("Version %1 could not start on this computer and was taken "
                                "back; it is not offered again")
                          .arg(versionInfo.version));
}

void Update::endDuringWatch()
{
    logStartDuringWatch();
    if (!updateMode)
        MessageBoxDlg::showInfo(localText("Prompt"),
                                localText("The update that was just installed is still being "
                                          "checked; try again in a minute"),
                                kOk, "3", "#000000", 0, localText("Confirm"));
    endProcess();
}

void Update::reportRollback(const QString& newVersion, const QString& oldVersion)
{
    MessageBoxDlg::showInfo(
        localText("Error"),
        localText("Version %1 could not start and was taken back; version %2 runs again")
            .arg(newVersion.toHtmlEscaped(), oldVersion.toHtmlEscaped()),
        kOk, "3", "#000000", 0, localText("Confirm"));
}

void Update::endCheckWithError(const QString& text)
{
    if (!updateMode)
        MessageBoxDlg::showInfo(localText("Error"), text, kOk, "3", "#000000", 0,
                                localText("Confirm"));
    endProcess();
}

void Update::endWithBox(const QString& logText, bool success, const QString& title,
                        const QString& content, const QString& button)
{
    logUpdate(logText);
    if (success)
        MessageBoxDlg::showSuccess(localText(title), localText(content), kOk, "3", "#000000", 0,
                                   localText(button));
    else
        MessageBoxDlg::showInfo(localText(title), localText(content), kOk, "3", "#000000", 0,
                                localText(button));
    endProcess();
}

void Update::endProcess()
{
    BaseService::instance()->waitForBackground(OutcomeSender::kTimeoutMs);
    std::exit(0);
}

bool Update::offersUsableRelease() const
{
    return !versionInfo.needUpdate || (offersUsableVersion() && offersUsableAddress());
}

// The offered version becomes config.ini's version and a label's text, so
// it is taken only as dotted digits of a sane length.
bool Update::offersUsableVersion() const
{
    static const QRegularExpression dotted(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    if (versionInfo.version.size() <= 64 && dotted.match(versionInfo.version).hasMatch())
        return true;
    logUpdate(
        QString("unusable version from the service: \"%1\"").arg(versionInfo.version.left(64)));
    return false;
}

// Refused before anything is stopped: an offer that cannot be downloaded
// would only take the main program down for nothing.
bool Update::offersUsableAddress() const
{
    const QUrl url = packageUrl();
    if (!url.isEmpty() && url.isValid())
        return true;
    logUpdate(QString("unusable package address from the service: \"%1\"")
                  .arg(versionInfo.url.left(256)));
    return false;
}

QUrl Update::packageUrl() const
{
    return QUrl(versionInfo.url, QUrl::TolerantMode);
}

void Update::showVersionInfo()
{
    ui.lb_oldVersion->setText(
        QString("%1: %2").arg(localText("Current version"), "v" + currentVersion));
    ui.lb_newVersion->setText(
        QString("%1: %2").arg(localText("New version"), "v" + versionInfo.version));
    ui.plainTextEdit->setPlainText(boundedPlainText(
        versionInfo.releaseNotes(language), kMaxNotesBytes,
        localText("[The release notes are longer than 64 KB and were cut here.]")));
    setDownloadState(false);
}

void Update::setDownloadState(bool on)
{
    downloading = on;
    ui.barWidget->setVisible(on);
    if (on) {
        setButtonUsable(ui.pb_update, false);
        setButtonUsable(ui.pb_cancel, true);
        ui.pb_update->setText(localText("Update now"));
        ui.pb_cancel->setText(localText("Cancel download"));
        return;
    }
    ui.pb_cancel->setText(localText("Not updated yet"));
    // A forced update is declined by no one: the main program is stopped
    // while it is offered, and comes back once the update is over, installed,
    // failed or cancelled.
    setButtonUsable(ui.pb_cancel, !versionInfo.forceUpdate);
    setButtonUsable(ui.pb_update, true);
}

void Update::setButtonUsable(QPushButton* button, bool usable)
{
    button->setEnabled(usable);
    button->setCursor(usable ? Qt::ArrowCursor : Qt::ForbiddenCursor);
}

void Update::slotCancelClick()
{
    logUpdate(QString::fromUtf8("忽略更新"));
    if (downloading) {
        emit signalCancelUpdate();
        setDownloadState(false);
        return;
    }
    endOffer();
}
