#include "delta/ZstdPatch.h"

#include "trust/Sha256.h"

#include <QFile>

#include <limits>
#include <memory>

#include <zstd.h>

namespace {

constexpr qint64 kChunkBytes = qint64(1) << 20;
// The optimal parser looks for longer matches than level 19 does (256): on
// the libraries of a security update, patches 0.4% smaller; level 22, other
// strategies and long-distance settings made them no smaller.
constexpr int kLongMatchTarget = 999;

// A file read through the page cache: its pages are the system's to drop,
// so even a file of gigabytes leaves the process's own memory alone.
class MappedFile
{
public:
    bool open(const QString& path)
    {
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::ReadOnly))
            return false;
        m_size = m_file.size();
        if (m_size > 0)
            m_data = reinterpret_cast<const char*>(m_file.map(0, m_size));
        return m_size == 0 || m_data != nullptr;
    }
    const char* data() const { return m_data; }
    qint64 size() const { return m_size; }

private:
    QFile m_file;
    const char* m_data = nullptr;
    qint64 m_size = 0;
};

struct CompressFree
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DecompressFree
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// The smallest window that reaches from the end of `bytes` back to its start,
// within what this build of zstd allows.
int windowLogFor(qint64 bytes, ZSTD_bounds bounds)
{
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (qint64(1) << log) < bytes)
        ++log;
    return log;
}

std::unique_ptr<ZSTD_CCtx, CompressFree> patchCompressor(int level, int windowLog)
{
    std::unique_ptr<ZSTD_CCtx, CompressFree> context(ZSTD_createCCtx());
    if (context) {
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
        if (level >= ZstdPatch::kDefaultLevel)
            ZSTD_CCtx_setParameter(context.get(), ZSTD_c_targetLength, kLongMatchTarget);
    }
    return context;
}

bool appendFrame(ZSTD_CCtx* context, const MappedFile& old, const char* segment, qint64 size,
                 QByteArray& patch)
{
    ZSTD_CCtx_reset(context, ZSTD_reset_session_only);
    if (old.size() > 0 && ZSTD_isError(ZSTD_CCtx_refPrefix(context, old.data(), old.size())))
        return false;
    const qint64 at = patch.size();
    const size_t bound = ZSTD_compressBound(size_t(size));
    if (at + qint64(bound) > std::numeric_limits<int>::max())
        return false; // a QByteArray holds less than 2 GiB
    patch.resize(int(at + qint64(bound)));
    const size_t written = ZSTD_compress2(context, patch.data() + at, bound, segment, size_t(size));
    if (ZSTD_isError(written))
        return false;
    patch.resize(int(at + qint64(written)));
    return true;
}

// Every frame of the patch whole, each announcing at most a segment: a
// patch that asks for more is refused before anything is written.
bool frameSizes(const MappedFile& patch, qint64& total, QString& errorText)
{
    total = 0;
    qint64 at = 0;
    while (at < patch.size()) {
        const char* frame = patch.data() + at;
        const size_t left = size_t(patch.size() - at);
        const size_t length = ZSTD_findFrameCompressedSize(frame, left);
        const unsigned long long content = ZSTD_getFrameContentSize(frame, left);
        if (ZSTD_isError(length) || content > quint64(ZstdPatch::kSegmentBytes)) {
            errorText = QStringLiteral("the patch is not whole zstd frames of known size");
            return false;
        }
        total += qint64(content);
        at += qint64(length);
    }
    if (at == 0)
        errorText = QStringLiteral("the patch is empty");
    return at > 0;
}

// Decodes the frames into `target`, one chunk at a time, hashing as it goes.
// A patch that does not decode is the delta's fault, a failed write (a full
// disk) is not.
DeltaResult::Kind decodeFrames(ZSTD_DCtx* context, const MappedFile& old, const MappedFile& patch,
                               QFile& target, Sha256& hash, QString& errorText)
{
    QByteArray chunk(int(kChunkBytes), Qt::Uninitialized);
    ZSTD_inBuffer input{patch.data(), size_t(patch.size()), 0};
    while (input.pos < input.size) {
        ZSTD_DCtx_reset(context, ZSTD_reset_session_only);
        if (old.size() > 0)
            ZSTD_DCtx_refPrefix(context, old.data(), size_t(old.size()));
        size_t left = 1;
        while (left != 0) {
            ZSTD_outBuffer output{chunk.data(), size_t(chunk.size()), 0};
            left = ZSTD_decompressStream(context, &output, &input);
            if (ZSTD_isError(left)) {
                errorText = QStringLiteral("the patch does not decode: ") +
                            QString::fromLatin1(ZSTD_getErrorName(left));
                return DeltaResult::Kind::BadPatch;
            }
            hash.addData(chunk.constData(), qint64(output.pos));
            if (target.write(chunk.constData(), qint64(output.pos)) != qint64(output.pos)) {
                errorText = QStringLiteral("cannot be written: ") + target.errorString();
                return DeltaResult::Kind::FileError;
            }
        }
    }
    if (!target.flush()) {
        errorText = QStringLiteral("cannot be written: ") + target.errorString();
        return DeltaResult::Kind::FileError;
    }
    return DeltaResult::Kind::Applied;
}

} // namespace

bool ZstdPatch::make(const QString& oldPath, const QString& newPath, int level, QByteArray& patch,
                     QString& errorText)
{
    MappedFile old;
    MappedFile updated;
    if ((!oldPath.isEmpty() && !old.open(oldPath)) || !updated.open(newPath)) {
        errorText = QStringLiteral("cannot read %1 or %2").arg(oldPath, newPath);
        return false;
    }
    const qint64 reach = old.size() + qMin(updated.size(), kSegmentBytes);
    auto context =
        patchCompressor(level, windowLogFor(reach, ZSTD_cParam_getBounds(ZSTD_c_windowLog)));
    patch.clear();
    qint64 at = 0;
    do {
        const qint64 size = qMin(kSegmentBytes, updated.size() - at);
        if (!context || !appendFrame(context.get(), old, updated.data() + at, size, patch)) {
            errorText = QStringLiteral("cannot compress %1").arg(newPath);
            return false;
        }
        at += size;
    } while (at < updated.size());
    return true;
}

DeltaResult ZstdPatch::apply(const QString& oldPath, const QString& patchPath,
                             const QString& targetPath, qint64 expectedSize,
                             const QByteArray& expectedSha256, const QString& path)
{
    using Kind = DeltaResult::Kind;
    MappedFile old;
    MappedFile patch;
    if (!old.open(oldPath))
        return DeltaResult::failed(Kind::FileError, path, QStringLiteral("cannot be read"));
    if (!patch.open(patchPath))
        return DeltaResult::failed(Kind::BadPatch, path, QStringLiteral("its patch is missing"));
    QString errorText;
    qint64 announced = 0;
    if (!frameSizes(patch, announced, errorText))
        return DeltaResult::failed(Kind::BadPatch, path, errorText);
    if (announced != expectedSize)
        return DeltaResult::failed(
            Kind::BadPatch, path,
            QStringLiteral("the patch makes %1 bytes, not %2").arg(announced).arg(expectedSize));
    const ZSTD_bounds bounds = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax);
    std::unique_ptr<ZSTD_DCtx, DecompressFree> context(ZSTD_createDCtx());
    QFile target(targetPath);
    if (!context || !target.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return DeltaResult::failed(Kind::FileError, path, QStringLiteral("cannot be written"));
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax,
                           windowLogFor(old.size() + kSegmentBytes, bounds));
    Sha256 hash;
    const Kind decoded = decodeFrames(context.get(), old, patch, target, hash, errorText);
    const qint64 size = target.size();
    target.close();
    const QByteArray sha256 = hash.hexDigest();
    if (decoded == Kind::Applied && size == expectedSize && sha256 == expectedSha256)
        return {};
    QFile::remove(targetPath);
    if (decoded != Kind::Applied)
        return DeltaResult::failed(decoded, path, errorText);
    return DeltaResult::failed(Kind::Damaged, path,
                               QStringLiteral("patched to %1 bytes with SHA-256 %2, not %3 and %4")
                                   .arg(size)
                                   .arg(QString::fromLatin1(sha256))
                                   .arg(expectedSize)
                                   .arg(QString::fromLatin1(expectedSha256)));
}
