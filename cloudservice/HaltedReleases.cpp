#include "cloudservice/HaltedReleases.h"

QString HaltedReleases::key(const QString& softwareRoot, const QString& versionType,
                            const QString& version)
{
    return softwareRoot + '\n' + versionType + '\n' + version;
}

HaltedReleases::Set HaltedReleases::current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_halted;
}

void HaltedReleases::replace(QSet<QString> halted)
{
    auto next = std::make_shared<const QSet<QString>>(std::move(halted));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_halted = std::move(next);
}
