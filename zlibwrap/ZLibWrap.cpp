#include "zlibwrap/ZLibWrap.h"

#include "zlibwrap/ZipEntryName.h"
#include "zlibwrap/ZipNameClashes.h"
#include "zlibwrap/ZipNameText.h"

#include <zip.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Large enough for fast writes, small enough that memory stays flat for
// entries of any size.
constexpr std::size_t kChunkSize = 64 * 1024;

// Unix file types in the upper half of the external attributes.
constexpr std::uint32_t kTypeMask = 0170000;
constexpr std::uint32_t kRegularFile = 0100000;
constexpr std::uint32_t kFolder = 0040000;
constexpr std::uint32_t kPermissionMask = 0777; // no set-id or sticky bits from a download
constexpr fs::perms kDefaultFilePermissions = static_cast<fs::perms>(0644);

struct ArchiveDiscard
{
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveDiscard>;

struct EntryClose
{
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using EntryReader = std::unique_ptr<zip_file_t, EntryClose>;

struct PlannedEntry
{
    zip_uint64_t index = 0;
    fs::path relative;
    bool folder = false;
    bool hasUnixMode = false;
    std::uint32_t unixMode = 0;
    zip_uint64_t size = 0; // as declared in the central directory
};

struct Plan
{
    std::vector<PlannedEntry> entries;
    zip_uint64_t unpackedBytes = 0;
};

fs::path toPath(const ZWChar* text)
{
#if defined(_WIN32)
    return fs::path(text);
#else
    return fs::path(std::u16string(text));
#endif
}

#if defined(_WIN32)
zip_t* openZip(const fs::path& file)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_win32w_create(file.c_str(), 0, -1, &error);
    zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    if (source && !archive)
        zip_source_free(source);
    zip_error_fini(&error);
    return archive;
}
#else
zip_t* openZip(const fs::path& file)
{
    int code = 0;
    return zip_open(file.c_str(), ZIP_RDONLY, &code);
}
#endif

Archive openArchive(const fs::path& file)
{
    std::error_code error;
    // libzip opens an empty file as an empty archive; a package is never empty.
    if (!fs::is_regular_file(file, error) || fs::file_size(file, error) == 0 || error)
        return nullptr;
    return Archive(openZip(file));
}

// The Unix mode of an entry made on a Unix system; false when it has none.
bool entryUnixMode(zip_t* archive, zip_uint64_t index, std::uint32_t& mode)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0 ||
        system != ZIP_OPSYS_UNIX)
        return false;
    mode = attributes >> 16;
    return mode != 0;
}

// Only plain files and folders are unpacked: a symbolic link (or a device or
// pipe) could make later entries land outside the target folder.
bool isPlainFileOrFolder(std::uint32_t mode)
{
    const std::uint32_t type = mode & kTypeMask;
    return type == 0 || type == kRegularFile || type == kFolder;
}

// libzip hands a name marked as UTF-8 over unchanged even when asked for the
// strict reading, which converts every unmarked non-ASCII name from CP437.
bool entryName(zip_t* archive, zip_uint64_t index, std::string& name)
{
    const char* raw = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    const char* strict = zip_get_name(archive, index, ZIP_FL_ENC_STRICT);
    return raw != nullptr && strict != nullptr &&
           decodeZipEntryName(raw, std::strcmp(raw, strict) == 0, name);
}

bool entryDeclaredSize(zip_t* archive, zip_uint64_t index, zip_uint64_t& size)
{
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE))
        return false;
    size = stat.size;
    return true;
}

bool readEntry(zip_t* archive, zip_uint64_t index, PlannedEntry& entry, ZipEntryName& parsed)
{
    std::string name;
    entry.index = index;
    entry.hasUnixMode = entryUnixMode(archive, index, entry.unixMode);
    if (!entryName(archive, index, name) || !parseZipEntryName(name, parsed) ||
        (entry.hasUnixMode && !isPlainFileOrFolder(entry.unixMode)))
        return false;
    parsed.folder = parsed.folder || (entry.hasUnixMode && (entry.unixMode & kTypeMask) == kFolder);
    entry.folder = parsed.folder;
    entry.relative = fs::u8path(joinedZipEntryName(parsed));
    return entryDeclaredSize(archive, index, entry.size);
}

// Only forged sizes add up to more than 64 bits.
bool addToPlan(const PlannedEntry& entry, Plan& plan)
{
    const zip_uint64_t bytes = entry.folder ? 0 : entry.size;
    if (bytes > std::numeric_limits<zip_uint64_t>::max() - plan.unpackedBytes)
        return false;
    plan.unpackedBytes += bytes;
    plan.entries.push_back(entry);
    return true;
}

bool planEntry(zip_t* archive, zip_uint64_t index, ZipNameClashes& clashes, Plan& plan)
{
    PlannedEntry entry;
    ZipEntryName parsed;
    if (!readEntry(archive, index, entry, parsed))
        return false;
    return parsed.segments.empty() || (clashes.add(parsed) && addToPlan(entry, plan));
}

// Every name is checked before the first byte is written, so a hostile
// entry anywhere in the archive stops the whole extraction.
bool planEntries(zip_t* archive, Plan& plan)
{
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count < 0)
        return false;
    ZipNameClashes clashes;
    plan.entries.reserve(static_cast<std::size_t>(count));
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
        if (!planEntry(archive, index, clashes, plan))
            return false;
    }
    return true;
}

bool openAndPlan(const fs::path& archiveFile, Archive& archive, Plan& plan)
{
    archive = openArchive(archiveFile);
    return archive && planEntries(archive.get(), plan);
}

// Creates folders, remembering the last one so that the many files of one
// folder cost one check.
class FolderMaker
{
public:
    bool make(const fs::path& folder)
    {
        if (folder == m_last)
            return true;
        std::error_code error;
        fs::create_directories(folder, error);
        if (error || !fs::is_directory(folder, error))
            return false;
        m_last = folder;
        return true;
    }

private:
    fs::path m_last;
};

bool applyPermissions(const fs::path& file, const PlannedEntry& entry)
{
    const fs::perms permissions = entry.hasUnixMode
                                      ? static_cast<fs::perms>(entry.unixMode & kPermissionMask)
                                      : kDefaultFilePermissions;
    std::error_code error;
    fs::permissions(file, permissions, fs::perm_options::replace, error);
    return !error;
}

// Streams one entry to disk. libzip compares the CRC once the whole entry has
// been read, so a read error at the end is a checksum mismatch. Inflating
// data can yield far more than the declared size, and with a matching CRC
// libzip never objects, so the copy stops before the first byte too many.
bool copyEntryData(zip_t* archive, const PlannedEntry& entry, std::ofstream& out,
                   std::vector<char>& buffer)
{
    EntryReader reader(zip_fopen_index(archive, entry.index, 0));
    if (!reader)
        return false;
    zip_uint64_t total = 0;
    zip_int64_t got = 0;
    while ((got = zip_fread(reader.get(), buffer.data(), buffer.size())) > 0) {
        const auto bytes = static_cast<zip_uint64_t>(got);
        if (bytes > entry.size - total)
            return false;
        out.write(buffer.data(), static_cast<std::streamsize>(got));
        if (!out)
            return false;
        total += bytes;
    }
    return got == 0 && total == entry.size;
}

bool writeFile(zip_t* archive, const PlannedEntry& entry, const fs::path& file,
               std::vector<char>& buffer)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    const bool copied = copyEntryData(archive, entry, out, buffer);
    out.close();
    if (copied && !out.fail() && applyPermissions(file, entry))
        return true;
    std::error_code ignored;
    fs::remove(file, ignored);
    return false;
}

bool extractFile(zip_t* archive, const PlannedEntry& entry, const fs::path& target,
                 FolderMaker& folders, std::vector<char>& buffer)
{
    const fs::path file = target / entry.relative;
    return folders.make(file.parent_path()) && writeFile(archive, entry, file, buffer);
}

bool extractAll(zip_t* archive, const Plan& plan, const fs::path& target)
{
    FolderMaker folders;
    std::vector<char> buffer(kChunkSize);
    for (const PlannedEntry& entry : plan.entries) {
        const bool written = entry.folder ? folders.make(target / entry.relative)
                                          : extractFile(archive, entry, target, folders, buffer);
        if (!written)
            return false;
    }
    return true;
}

bool extract(const fs::path& archiveFile, const fs::path& target)
{
    Archive archive;
    Plan plan;
    if (!openAndPlan(archiveFile, archive, plan))
        return false;
    FolderMaker root;
    return root.make(target) && extractAll(archive.get(), plan, target);
}

bool inspect(const fs::path& archiveFile, unsigned long long& unpackedBytes)
{
    Archive archive;
    Plan plan;
    if (!openAndPlan(archiveFile, archive, plan))
        return false;
    unpackedBytes = plan.unpackedBytes;
    return true;
}

bool isGiven(const ZWChar* path)
{
    return path != nullptr && *path != 0;
}

// Nothing may leave a C interface as an exception (bad UTF-16, allocation).
template <typename Work> int resultOf(Work work)
{
    try {
        return work() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

} // namespace

extern "C" ZLIBWRAP_API int ZWZipExtract(const ZWChar* archive, const ZWChar* target)
{
    if (!isGiven(archive) || !isGiven(target))
        return 0;
    return resultOf([&] { return extract(toPath(archive), toPath(target)); });
}

extern "C" ZLIBWRAP_API int ZWZipInspect(const ZWChar* archive, unsigned long long* unpackedBytes)
{
    if (unpackedBytes == nullptr)
        return 0;
    *unpackedBytes = 0;
    return isGiven(archive) && resultOf([&] { return inspect(toPath(archive), *unpackedBytes); });
}
