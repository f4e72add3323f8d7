#pragma once

// Certificate trust shared by every HTTPS connection of the updater: the
// service client and the package download verify servers the same way.

#include <QList>
#include <QSslConfiguration>
#include <QString>

class QSslError;

// The system's CA certificates plus those of an optional PEM bundle at
// application directory + "/config/cacert.pem", so a deployment with its own
// CA or a self-signed service can still be verified.
QSslConfiguration trustedSslConfiguration();

// The path of that optional bundle.
QString extraCaBundlePath();

// Every error's errorString(), in order, joined with "\n".
QString joinSslErrors(const QList<QSslError>& errors);
