#pragma once

#include <QString>

// Dotted version numbers compared part by part as whole numbers, so that
// "1.10" is newer than "1.9". Missing parts count as 0 ("1.2" equals "1.2.0");
// an empty version is older than every other one.
class VersionNumber
{
public:
    // Negative when `a` is older than `b`, 0 when equal, positive when newer.
    static int compare(const QString& a, const QString& b);
    static bool isOlder(const QString& a, const QString& b) { return compare(a, b) < 0; }
};
