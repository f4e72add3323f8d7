#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// delta.json, the list of what a delta package changes: which version it
// leads from and to, and per file whether it comes as a patch of the
// installed file or whole, with the SHA-256 before and after. Files whose
// bytes stay the same are not listed. Read strictly: a path that could leave
// the installation, a repeated path or a wrong digest refuses all of it.
class DeltaManifest
{
public:
    static constexpr int kFormatVersion = 1;
    static const QString kFileName;

    struct File
    {
        enum class Method
        {
            Patch, // patches/<path>.zst, made against the installed file
            Whole, // files/<path>
        };

        QString path; // relative, '/'-separated
        Method method = Method::Whole;
        QByteArray before; // lower-case hex; patches only
        QByteArray after;
        qint64 size = 0;
    };

    QString fromVersion;
    QString toVersion;
    QVector<File> files;

    QByteArray toJson() const;
    static bool fromJson(const QByteArray& json, DeltaManifest& manifest, QString& errorText);

    // Relative, '/'-separated, without "..", ".", empty parts, backslashes,
    // drive letters or control characters.
    static bool isSafePath(const QString& path);
    // Where the file's bytes lie inside the delta package.
    static QString entryOf(const File& file);
};
