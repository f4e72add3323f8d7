#include "trust/Base64.h"

#include <QString>

bool decodeCanonicalBase64(const QString& text, QByteArray& bytes)
{
    const QByteArray encoded = text.toLatin1();
    const auto decoded =
        QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.toBase64() != encoded)
        return false;
    bytes = decoded.decoded;
    return true;
}
