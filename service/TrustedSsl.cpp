#include "service/TrustedSsl.h"

#include "layout/InstallationLayout.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslError>
#include <QStringList>

QString extraCaBundlePath()
{
    return layout::applicationPath(layout::kCaBundle);
}

QSslConfiguration trustedSslConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    QFile bundle(extraCaBundlePath());
    if (bundle.open(QIODevice::ReadOnly))
        authorities += QSslCertificate::fromData(bundle.readAll(), QSsl::Pem);
    configuration.setCaCertificates(authorities);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return configuration;
}

QString joinSslErrors(const QList<QSslError>& errors)
{
    QStringList texts;
    for (const QSslError& error : errors)
        texts.append(error.errorString());
    return texts.join(QLatin1Char('\n'));
}
