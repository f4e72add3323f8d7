#include "elevate/ElevatedInstall.h"

#include "elevate/InstallRequest.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimer>

namespace {

// How often the wait looks whether the step has ended.
constexpr int kPollMs = 50;

bool& alwaysNeeded()
{
    static bool always = false;
    return always;
}

bool writeReleaseDocument(const QString& path, const QJsonValue& release, const QJsonArray& roots)
{
    const QJsonObject document{{QStringLiteral("release"), release},
                               {QStringLiteral("roots"), roots}};
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(QJsonDocument(document).toJson(QJsonDocument::Compact)) >= 0 && file.commit();
}

ElevatedResult fromElevation(platform::Elevation elevation, const QString& reason)
{
    switch (elevation) {
    case platform::Elevation::Refused:
        return ElevatedResult::of(ElevatedResult::Kind::Refused, reason);
    case platform::Elevation::Unavailable:
        return ElevatedResult::of(ElevatedResult::Kind::Unavailable, reason);
    default:
        return ElevatedResult::of(ElevatedResult::Kind::Installation, reason);
    }
}

} // namespace

ElevatedInstall::ElevatedInstall(QString applicationDir)
    : m_applicationDir(std::move(applicationDir))
{}

bool ElevatedInstall::isNeeded(const QString& applicationDir)
{
    QString reason;
    return alwaysNeeded() || !platform::takesNewFiles(applicationDir, reason);
}

void ElevatedInstall::setAlwaysNeeded(bool always)
{
    alwaysNeeded() = always;
}

ElevatedResult ElevatedInstall::run(const InstallRequest& request, const QJsonValue& release,
                                    const QJsonArray& roots)
{
    if (!writeReleaseDocument(request.releasePath, release, roots))
        return ElevatedResult::of(ElevatedResult::Kind::Installation,
                                  "the release document cannot be written to " +
                                      request.releasePath);
    const QString updater = m_applicationDir + QLatin1Char('/') + platform::updaterFileName();
    qInfo() << QString("Update: administrator rights are asked for, to install version %1")
                   .arg(request.version);
    platform::WatchedProcess step;
    QString reason;
    const platform::Elevation elevation =
        step.startElevated(updater, request.toArguments(), reason);
    if (elevation != platform::Elevation::Started)
        return fromElevation(elevation, reason);
    return waitFor(step);
}

ElevatedResult ElevatedInstall::waitFor(platform::WatchedProcess& step) const
{
    QEventLoop loop;
    QTimer poll;
    platform::WatchedProcess::End end;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        end = step.wait(0);
        if (end.kind != platform::WatchedProcess::End::Kind::Running)
            loop.quit();
    });
    poll.start(kPollMs);
    loop.exec();
    if (platform::endedAsRefusal(end))
        return ElevatedResult::of(ElevatedResult::Kind::Refused,
                                  "the user did not give administrator rights: " + end.text());
    if (end.kind == platform::WatchedProcess::End::Kind::Crashed)
        return ElevatedResult::of(ElevatedResult::Kind::Installation,
                                  "the elevated step ended with " + end.text());
    return ElevatedResult::fromExitCode(end.code);
}
