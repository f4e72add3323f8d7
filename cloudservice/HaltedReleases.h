#pragma once

#include <QSet>
#include <QString>
#include <memory>
#include <mutex>

// The releases halted in the database, as the check path sees them: a set
// replaced whole by the report writer, read without touching the database.
// Safe to use from any thread.
class HaltedReleases
{
public:
    using Set = std::shared_ptr<const QSet<QString>>;

    static QString key(const QString& softwareRoot, const QString& versionType,
                       const QString& version);

    Set current() const;
    void replace(QSet<QString> halted);

private:
    mutable std::mutex m_mutex;
    Set m_halted = std::make_shared<const QSet<QString>>();
};
