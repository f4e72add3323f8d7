#pragma once

#include "delta/DeltaResult.h"

#include <QByteArray>
#include <QString>

// A new file as zstd frames that refer back to the old file (the frames'
// prefix), so what the two share costs next to nothing. The new file is cut
// into segments of its own frame each: a decoder keeps one frame's output as
// its history, and that bounds the memory of applying a patch to a huge file.
class ZstdPatch
{
public:
    static constexpr int kDefaultLevel = 19;
    static constexpr qint64 kSegmentBytes = qint64(32) << 20;

    // The patch of `newPath` against `oldPath`; an empty `oldPath` compresses
    // the new file alone, the measure a patch has to beat.
    static bool make(const QString& oldPath, const QString& newPath, int level, QByteArray& patch,
                     QString& errorText);

    // Writes the patched file to `targetPath` in chunks and keeps it only
    // when it is `expectedSize` bytes long with the SHA-256 `expectedSha256`
    // (lower-case hex). `path` names the file in the result.
    static DeltaResult apply(const QString& oldPath, const QString& patchPath,
                             const QString& targetPath, qint64 expectedSize,
                             const QByteArray& expectedSha256, const QString& path);
};
