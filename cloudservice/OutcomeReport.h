#pragma once

#include <QString>
#include <QVariant>

// One installation's word on how an update went, as stored.
struct OutcomeReport
{
    QString installationId;
    QString reportId;
    QString softwareRoot;
    QString versionType;
    QString toVersion;
    QString fromVersion;
    QString outcome; // awaitingConfirmation, confirmed, rolledBack, failed
    QString kind;    // failed only: download, damagedPackage, noSpace, installation, notVerified
    QString reason;
    QVariant exitCode; // rolledBack only; null when not given
    QVariant signal;
    qint64 atMs = 0;       // when it happened, by the installation's clock
    qint64 receivedMs = 0; // when this service took it
};
