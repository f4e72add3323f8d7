#include "network/ProxySettings.h"

#include "config/ConfigIni.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QUrl>

namespace {

// Only an HTTP proxy is taken from config.ini: it carries both the service's
// plain requests and, through CONNECT, its TLS ones.
bool isProxyAddress(const QUrl& url)
{
    return url.isValid() && url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 &&
           !url.host().isEmpty() && url.port() > 0 && (url.path().isEmpty() || url.path() == "/");
}

} // namespace

ProxySettings ProxySettings::read()
{
    ProxySettings settings;
    const QString value = readConfigValue("Network", "Proxy", QString()).trimmed();
    if (value.isEmpty())
        return settings;
    if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        settings.m_source = Source::Direct;
        return settings;
    }
    const QUrl url(value, QUrl::StrictMode);
    if (!isProxyAddress(url)) {
        settings.m_unusable = true;
        return settings;
    }
    settings.m_source = Source::Configured;
    settings.m_configured = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port()),
                                          url.userName(), url.password());
    return settings;
}

QNetworkProxy ProxySettings::proxyFor(const QUrl& url) const
{
    switch (m_source) {
    case Source::Configured:
        return m_configured;
    case Source::Direct:
        return QNetworkProxy(QNetworkProxy::NoProxy);
    case Source::System:
        break;
    }
    const QList<QNetworkProxy> proxies =
        QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    return proxies.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : proxies.first();
}

void ProxySettings::applyTo(QNetworkAccessManager& manager, const QUrl& url) const
{
    // Qt answers a proxy's 407 with the credentials the proxy carries, once;
    // when those are refused too it asks proxyAuthenticationRequired, which
    // nobody answers, so the request ends instead of trying again.
    manager.setProxy(proxyFor(url));
}

QString ProxySettings::describe(const QUrl& url) const
{
    return label(proxyFor(url));
}

QString ProxySettings::label(const QNetworkProxy& proxy)
{
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy)
        return QString();
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

bool ProxySettings::isRefusal(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::ProxyAuthenticationRequiredError;
}

bool ProxySettings::isUnreachable(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::ProxyConnectionRefusedError ||
           error == QNetworkReply::ProxyConnectionClosedError ||
           error == QNetworkReply::ProxyNotFoundError || error == QNetworkReply::ProxyTimeoutError;
}
