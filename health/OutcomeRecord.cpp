#include "health/OutcomeRecord.h"

#include "config/FileUtils.h"
#include "install/HeldFileWait.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

namespace {

// Tells the service one delivery from another; a report sent twice, because
// its answer was lost, is counted once.
QString newEntryId()
{
    return QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, '0');
}

QJsonObject toJson(const OutcomeRecord::Entry& entry)
{
    QJsonObject json{{"id", newEntryId()},
                     {"outcome", entry.outcome},
                     {"reason", entry.reason},
                     {"from", entry.fromVersion},
                     {"to", entry.toVersion},
                     {"serial", entry.serial},
                     {"ends", QJsonArray::fromStringList(entry.ends)},
                     {"installedAt", entry.installedAt.toString(Qt::ISODateWithMs)},
                     {"decidedAt", entry.decidedAt.toString(Qt::ISODateWithMs)},
                     {"reported", false}};
    if (!entry.kind.isEmpty())
        json.insert("kind", entry.kind);
    return json;
}

// A failure happens before anything is installed, so each one is news.
bool isSameEnding(const QJsonObject& one, const QJsonObject& other)
{
    return !one.value("installedAt").toString().isEmpty() &&
           one.value("outcome") == other.value("outcome") && one.value("to") == other.value("to") &&
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
        if (isSameEnding(kept.toObject(), added))
            return true;
    }
    entries.append(added);
    while (entries.size() > kKept)
        entries.removeFirst();
    return save(entries);
}

QJsonArray OutcomeRecord::unreported() const
{
    QJsonArray pending;
    const QJsonArray entries = readEntries(m_path);
    for (const QJsonValue& entry : entries) {
        const QJsonObject object = entry.toObject();
        if (object.value("reported") == QJsonValue(false) &&
            !object.value("id").toString().isEmpty())
            pending.append(object);
    }
    return pending;
}

bool OutcomeRecord::markReported(const QStringList& ids)
{
    QJsonArray entries = readEntries(m_path);
    for (int i = 0; i < entries.size(); ++i) {
        QJsonObject object = entries.at(i).toObject();
        if (ids.contains(object.value("id").toString())) {
            object.insert("reported", true);
            entries.replace(i, object);
        }
    }
    return save(entries);
}

// The watcher and an updater starting beside it read the record while the
// other saves it; on Windows a reader keeps it from being replaced for that
// moment.
bool OutcomeRecord::save(const QJsonArray& entries) const
{
    const QByteArray content = QJsonDocument(entries).toJson();
    return HeldFileWait(HeldFileWait::kRecordAllowanceMs).retry(m_path, [&] {
        return replaceFileContent(m_path, content);
    });
}
