#include "zlibwrap/ZipNameClashes.h"

#include "zlibwrap/ZipNameText.h"

#include <cstddef>

namespace {

// Windows drops trailing dots and blanks, so "a.txt." lands on "a.txt".
// Segments made of nothing else never get here.
std::string withoutTrailingDots(const std::string& segment)
{
    return segment.substr(0, segment.find_last_not_of(". ") + 1);
}

} // namespace

bool ZipNameClashes::add(const ZipEntryName& name)
{
    std::wstring key;
    std::string spelling;
    for (std::size_t i = 0; i < name.segments.size(); ++i) {
        std::wstring folded;
        if (!caseFoldedName(withoutTrailingDots(name.segments[i]), folded))
            return false;
        key += (i == 0 ? L"" : L"/") + folded;
        spelling += (i == 0 ? "" : "/") + name.segments[i];
        const bool folder = i + 1 < name.segments.size() || name.folder;
        if (!claim(key, spelling, folder))
            return false;
    }
    return true;
}

bool ZipNameClashes::claim(const std::wstring& key, const std::string& spelling, bool folder)
{
    const auto [claimed, added] = m_claims.try_emplace(key, Claim{spelling, folder});
    return added || (folder && claimed->second.folder && claimed->second.spelling == spelling);
}
