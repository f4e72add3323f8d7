#pragma once

#include <QJsonObject>
#include <QString>

// Changes to the catalog file made in place for the vendor: the result is
// checked like any catalog and replaces the file in one rename, so a service
// reading it never sees half a file or a broken one.
class CatalogEdit
{
public:
    // Sets the "rollout" member of one release. The file is written anew by
    // the JSON writer: members in name order, four-space indents.
    static bool setRollout(const QString& catalogFile, const QString& root, const QString& type,
                           const QString& version, const QJsonObject& rollout, QString& errorText);
};
