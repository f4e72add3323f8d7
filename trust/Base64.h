#pragma once

#include <QByteArray>

class QString;

// Standard base64 with padding, accepted only in its one canonical spelling:
// a signed document must not have two encodings that mean the same bytes.
bool decodeCanonicalBase64(const QString& text, QByteArray& bytes);
