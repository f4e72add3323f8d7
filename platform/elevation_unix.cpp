// Starting a program with administrator rights on Linux: through pkexec,
// which asks the user (polkit) for them.
#include "platform/Platform.h"

#include <QStandardPaths>

namespace platform {

namespace {

constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

QString& elevationVerb()
{
    static QString verb = QStringLiteral("runas");
    return verb;
}

bool asksTheUser()
{
    return elevationVerb() == QLatin1String("runas");
}

} // namespace

void setElevationVerb(const QString& verb)
{
    elevationVerb() = verb;
}

Elevation WatchedProcess::startElevated(const QString& program, const QStringList& arguments,
                                        QString& reason)
{
    if (elevationVerb() == QLatin1String("cancel")) {
        reason = QStringLiteral("the user did not give administrator rights");
        return Elevation::Refused;
    }
    if (!asksTheUser())
        return start(program, arguments, reason) ? Elevation::Started : Elevation::Failed;
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        reason = QStringLiteral("pkexec, which asks for administrator rights, is not installed");
        return Elevation::Unavailable;
    }
    return start(pkexec, QStringList{program} + arguments, reason) ? Elevation::Started
                                                                   : Elevation::Failed;
}

bool endedAsRefusal(const WatchedProcess::End& end)
{
    return asksTheUser() && end.kind == WatchedProcess::End::Kind::Exited &&
           (end.code == kPkexecDismissed || end.code == kPkexecNotAuthorized);
}

} // namespace platform
