#pragma once

#include <QMap>
#include <QString>

// The files of an unpacked tree, and the way to one of them that goes
// through no link: a delta only ever reads and writes below its folders.
class DeltaTree
{
public:
    // Relative '/'-separated path → absolute path of every regular file below
    // `folder`; links are left out, as unpacked packages hold none.
    static QMap<QString, QString> files(const QString& folder);

    // `folder`/`relative` into `absolute`, false when `relative` is not a
    // plain relative path or a link stands anywhere on the way below `folder`.
    static bool resolve(const QString& folder, const QString& relative, QString& absolute);
};
