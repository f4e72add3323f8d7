#pragma once

// Which proxy the updater's requests go through. config.ini decides first:
// [Network] Proxy= names one as "http://[user:password@]host:port", or
// "none" for a direct connection. Without it the system's configuration
// does (the environment's https_proxy, http_proxy and no_proxy on Linux, the
// system proxy and its PAC script on Windows).

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QString>

class QNetworkAccessManager;
class QUrl;

class ProxySettings
{
public:
    // What config.ini says now.
    static ProxySettings read();

    QNetworkProxy proxyFor(const QUrl& url) const;
    // Sends `manager`'s requests for `url` through its proxy. Refused
    // credentials end the request with
    // QNetworkReply::ProxyAuthenticationRequiredError rather than a loop.
    void applyTo(QNetworkAccessManager& manager, const QUrl& url) const;

    // config.ini names something that is not a proxy address; the system's
    // configuration applies instead.
    bool configuredValueUnusable() const { return m_unusable; }
    // How the log and the user see the proxy for `url`: "host:port", or
    // empty for a direct connection. Never the credentials.
    QString describe(const QUrl& url) const;

    static QString label(const QNetworkProxy& proxy);
    // The proxy turned the request away for want of valid credentials.
    static bool isRefusal(QNetworkReply::NetworkError error);
    // The proxy itself could not be reached or dropped the connection.
    static bool isUnreachable(QNetworkReply::NetworkError error);

private:
    enum class Source
    {
        System,
        Configured,
        Direct,
    };

    Source m_source = Source::System;
    QNetworkProxy m_configured;
    bool m_unusable = false;
};
