#include "zlibwrap/ZipEntryName.h"

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

// Windows strips trailing dots and blanks from path segments, so "..." or
// ". ." would be resolved like "." or "..".
bool onlyDotsAndBlanks(const std::string& segment)
{
    return segment.find_first_not_of(". ") == std::string::npos;
}

bool acceptSegment(const std::string& segment, ZipEntryName& parsed)
{
    if (segment.empty() || segment == ".")
        return true;
    if (onlyDotsAndBlanks(segment))
        return false;
    parsed.segments.push_back(segment);
    return true;
}

} // namespace

bool parseZipEntryName(const std::string& name, ZipEntryName& parsed)
{
    parsed = ZipEntryName();
    if (name.empty() || isSeparator(name.front()) || name.find(':') != std::string::npos)
        return false;
    parsed.folder = isSeparator(name.back());
    std::string segment;
    for (const char c : name) {
        if (!isSeparator(c)) {
            segment += c;
            continue;
        }
        if (!acceptSegment(segment, parsed))
            return false;
        segment.clear();
    }
    return acceptSegment(segment, parsed);
}

std::string joinedZipEntryName(const ZipEntryName& parsed)
{
    std::string joined;
    for (const std::string& segment : parsed.segments) {
        if (!joined.empty())
            joined += '/';
        joined += segment;
    }
    return joined;
}
