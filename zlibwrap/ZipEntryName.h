#pragma once

#include <string>
#include <vector>

// The checked form of one archive entry name: the path segments below the
// target folder, and whether the entry names a folder.
struct ZipEntryName
{
    std::vector<std::string> segments; // empty: nothing to create (e.g. "./")
    bool folder = false;
};

// Splits a UTF-8 entry name on "/" and "\" and rejects every name that could
// reach outside the target folder: absolute or UNC names, drive letters and
// other colons (alternate data streams on Windows), ".." and segments made of
// dots and blanks only, which Windows folds into "." or "..". "." segments and
// doubled separators are dropped. False for a hostile name.
bool parseZipEntryName(const std::string& name, ZipEntryName& parsed);

// The segments joined with "/".
std::string joinedZipEntryName(const ZipEntryName& parsed);
