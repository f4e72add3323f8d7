#pragma once

// Unpacks a zip archive into a folder. A plain C interface so that the
// updater can load it like any other system library; no Qt inside.

#if defined(_WIN32)
#if defined(ZLIBWRAP_BUILDING)
#define ZLIBWRAP_API __declspec(dllexport)
#else
#define ZLIBWRAP_API __declspec(dllimport)
#endif
typedef wchar_t ZWChar;
#else
#define ZLIBWRAP_API __attribute__((visibility("default")))
typedef char16_t ZWChar;
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Extracts every entry of `archive` below the folder `target` (both
// zero-terminated UTF-16 paths), creating the folder when needed.
// Returns non-zero when every entry was written and its checksum matched;
// zero for a missing, truncated, corrupt or hostile archive (absolute
// names, "..", drive letters, symbolic links, two entries that would land on
// one file or folder when letter case is ignored, names in neither UTF-8 nor
// GB18030, an entry that unpacks to more than its declared size), in which
// case nothing has been written outside `target` and no file is left larger
// than its entry's declared size (the entry that failed is removed).
ZLIBWRAP_API int ZWZipExtract(const ZWChar* archive, const ZWChar* target);

// Runs every check ZWZipExtract runs before it writes (names, entry types,
// clashing entries, name encodings) on `archive`, a zero-terminated UTF-16
// path, and writes nothing. On success stores in `unpackedBytes` the sum of
// the files' declared uncompressed sizes, which is the most ZWZipExtract will
// write, and returns non-zero. Returns zero, with `unpackedBytes` set to 0
// when it is not null, where ZWZipExtract would refuse the archive before
// writing; the entries' data and checksums are only read by ZWZipExtract.
ZLIBWRAP_API int ZWZipInspect(const ZWChar* archive, unsigned long long* unpackedBytes);

#ifdef __cplusplus
}
#endif
