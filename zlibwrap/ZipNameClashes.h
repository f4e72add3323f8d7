#pragma once

#include "zlibwrap/ZipEntryName.h"

#include <map>
#include <string>

// The paths an archive's entries take, as a case-insensitive file system
// (Windows, macOS) sees them, so that no entry lands on another. Every path,
// the folders a name implies included, must have one spelling and one kind;
// only a folder may be named again, spelt the same way.
class ZipNameClashes
{
public:
    // False when `name` clashes with a name added before, or cannot be
    // compared.
    bool add(const ZipEntryName& name);

private:
    struct Claim
    {
        std::string spelling;
        bool folder = false;
    };

    bool claim(const std::wstring& key, const std::string& spelling, bool folder);

    std::map<std::wstring, Claim> m_claims;
};
