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
// names, "..", drive letters, symbolic links), in which case nothing has
// been written outside `target`.
ZLIBWRAP_API int ZWZipExtract(const ZWChar* archive, const ZWChar* target);

#ifdef __cplusplus
}
#endif
