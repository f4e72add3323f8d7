#pragma once

#include <QString>

// True when both are regular files of one size with the same bytes; a file
// that cannot be read is the same as no other, and so is a link, whatever
// it leads to: it is replaced, or given back, as the link itself. Sizes are
// compared first, so most changed files cost no read at all.
bool haveSameContent(const QString& one, const QString& other);
