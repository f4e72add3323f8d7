#pragma once

#include <QString>

// Sets the UTF-8 name flag (general purpose bit 11) in every local and
// central header of a zip libzip has just written. libzip sets it only for
// names beyond ASCII, but a package declares all its names UTF-8 so that no
// unpacker guesses a code page. `entries` is how many the zip must hold.
bool markNamesUtf8(const QString& zipPath, qint64 entries, QString& errorText);
