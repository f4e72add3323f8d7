#include "trust/TrustVerdict.h"

TrustVerdict TrustVerdict::failed(Check check, const QString& detail)
{
    TrustVerdict verdict;
    verdict.m_check = check;
    verdict.m_detail = detail;
    return verdict;
}

QString TrustVerdict::text() const
{
    if (passed())
        return checkName(Passed);
    return QStringLiteral("%1: %2").arg(checkName(m_check), m_detail);
}

QString TrustVerdict::checkName(Check check)
{
    switch (check) {
    case Passed:
        return QStringLiteral("all checks passed");
    case TrustedRoot:
        return QStringLiteral("trusted root");
    case RootExpiry:
        return QStringLiteral("root expiry");
    case RootRotation:
        return QStringLiteral("root rotation");
    case TrustState:
        return QStringLiteral("trust state");
    case ReleaseFormat:
        return QStringLiteral("release format");
    case ReleaseSignature:
        return QStringLiteral("release signature");
    case ReleaseExpiry:
        return QStringLiteral("release expiry");
    case ReleaseTarget:
        return QStringLiteral("release target");
    case NewerVersion:
        return QStringLiteral("newer version");
    case ReleaseSerial:
        return QStringLiteral("release serial");
    case PackageLength:
        return QStringLiteral("package length");
    case PackageHash:
        return QStringLiteral("package hash");
    }
    return QString();
}
