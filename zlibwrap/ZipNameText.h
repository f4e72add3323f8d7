#pragma once

#include <string>

// The raw bytes of an entry name as UTF-8. A name marked as UTF-8, or one
// that is valid UTF-8, is taken as it is; a marked name that is not valid
// UTF-8 is refused. Any other name is read as GB18030. False for a name that
// is neither.
bool decodeZipEntryName(const std::string& raw, bool markedUtf8, std::string& utf8);

// `utf8` in a form that is equal for two names a case-insensitive file system
// takes as one: every character mapped to upper and then lower case, which
// also joins pairs that lower case alone keeps apart ("ς" and "σ", "ſ" and
// "s"). False for invalid UTF-8, or where the system has no Unicode case
// tables, so that a clash cannot go unseen.
bool caseFoldedName(const std::string& utf8, std::wstring& folded);
