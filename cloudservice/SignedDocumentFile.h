#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// A signed document the catalog names by file, read as the vendor wrote it.
// Only its shape and payload type are checked: the service holds no keys, and
// the updater verifies the signatures against its own pinned root.
class SignedDocumentFile
{
public:
    // `name` is a catalog member's value: a file name relative to `folder`
    // or absolute. `what` ("release", "root") goes into the error text.
    static bool read(const QJsonValue& name, const QString& folder, const QString& payloadType,
                     const QString& what, QJsonObject& envelope, QString& errorText);
};
