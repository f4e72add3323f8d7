#pragma once

#include "delta/DeltaManifest.h"

#include <QString>

// Lays out the delta from one package to the next in a folder, ready to be
// zipped: delta.json, patches/<path>.zst for changed files whose patch
// beats the file compressed alone, files/<path> for the rest of the changed
// and for added files. Files with the same bytes in both are left out.
class DeltaBuilder
{
public:
    struct Totals
    {
        int unchanged = 0;
        int patched = 0;
        int whole = 0;
        qint64 patchBytes = 0;   // the patches as written
        qint64 wholeBytes = 0;   // the whole files, before the zip compresses them
        qint64 changedBytes = 0; // the new version of every listed file
    };

    DeltaBuilder(const QString& oldPackage, const QString& newPackage, int level);

    // Fills `folder`, which must be empty, for a delta from `fromVersion` to
    // `toVersion`. False with a reason when a package cannot be unpacked or a
    // file cannot be read or written.
    bool build(const QString& fromVersion, const QString& toVersion, const QString& folder,
               QString& errorText);
    const Totals& totals() const { return m_totals; }

private:
    bool addFile(const QString& path, const QString& oldFile, const QString& newFile,
                 const QString& folder, DeltaManifest& manifest, QString& errorText);
    bool patchIfSmaller(const QString& oldFile, const QString& newFile, DeltaManifest::File& file,
                        QByteArray& patch, QString& errorText) const;
    void count(const DeltaManifest::File& file, qint64 patchSize);

    QString m_oldPackage;
    QString m_newPackage;
    int m_level;
    Totals m_totals;
};
