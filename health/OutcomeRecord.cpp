#include "health/OutcomeRecord.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

QJsonObject toJson(const OutcomeRecord::Entry& entry)
{
    return QJsonObject{{"outcome", entry.outcome},
                       {"reason", entry.reason},
                       {"from", entry.fromVersion},
                       {"to", entry.toVersion},
                       {"serial", entry.serial},
                       {"ends", QJsonArray::fromStringList(entry.ends)},
                       {"installedAt", entry.installedAt.toString(Qt::ISODateWithMs)},
                       {"decidedAt", entry.decidedAt.toString(Qt::ISODateWithMs)}};
}

bool isSameUpdate(const QJsonObject& one, const QJsonObject& other)
{
    return one.value("to") == other.value("to") &&
           one.value("installedAt") == other.value("installedAt");
}

// An unreadable record starts afresh: it only ever informs the vendor.
QJsonArray readEntries(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).array();
}

} // namespace

OutcomeRecord::OutcomeRecord(QString path) : m_path(std::move(path)) {}

bool OutcomeRecord::add(const Entry& entry)
{
    QJsonArray entries = readEntries(m_path);
    const QJsonObject added = toJson(entry);
    for (const QJsonValue& kept : qAsConst(entries)) {
        if (isSameUpdate(kept.toObject(), added))
            return true;
    }
    entries.append(added);
    while (entries.size() > kKept)
        entries.removeFirst();
    QSaveFile file(m_path);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(entries).toJson()) >= 0 &&
           file.commit();
}
