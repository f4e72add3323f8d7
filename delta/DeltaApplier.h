#pragma once

#include "delta/DeltaManifest.h"
#include "delta/DeltaResult.h"

#include <QString>

// Puts the changed files of a new version together from an unpacked delta
// and the installation, into an unpack folder the installation engine then
// takes over as from a full package. Nothing in the installation is written.
class DeltaApplier
{
public:
    DeltaApplier(const QString& deltaFolder, const QString& installFolder,
                 const QString& targetFolder);

    // Reads delta.json, so that a caller may look at the manifest before
    // anything is patched; apply() reads it when nobody did.
    DeltaResult readManifest();
    // Applied once every listed file is in the target folder with its signed
    // size and SHA-256; otherwise the first file that failed and why.
    DeltaResult apply();
    const DeltaManifest& manifest() const { return m_manifest; }

private:
    DeltaResult applyFile(const DeltaManifest::File& file) const;
    DeltaResult checkInstalled(const DeltaManifest::File& file, const QString& installed) const;
    DeltaResult copyWhole(const DeltaManifest::File& file, const QString& source,
                          const QString& target) const;

    QString m_deltaFolder;
    QString m_installFolder;
    QString m_targetFolder;
    DeltaManifest m_manifest;
    bool m_manifestRead = false;
};
