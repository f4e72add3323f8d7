#include "trust/PublicKey.h"

#include "trust/Base64.h"
#include "trust/Sha256.h"
#include "trust/Sodium.h"

#include <sodium.h>

static_assert(PublicKey::kBytes == crypto_sign_PUBLICKEYBYTES, "Ed25519 public key size");
static_assert(PublicKey::kSignatureBytes == crypto_sign_BYTES, "Ed25519 signature size");

bool PublicKey::fromBase64(const QString& text, PublicKey& key)
{
    QByteArray raw;
    if (!decodeCanonicalBase64(text, raw) || raw.size() != kBytes)
        return false;
    key.m_raw = raw;
    return true;
}

PublicKey PublicKey::fromRaw(const QByteArray& raw)
{
    PublicKey key;
    if (raw.size() == kBytes)
        key.m_raw = raw;
    return key;
}

QString PublicKey::toBase64() const
{
    return QString::fromLatin1(m_raw.toBase64());
}

QString PublicKey::keyId() const
{
    return QString::fromLatin1(Sha256::hexOf(m_raw));
}

bool PublicKey::verify(const QByteArray& message, const QByteArray& signature) const
{
    if (!isValid() || signature.size() != kSignatureBytes || !sodiumReady())
        return false;
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char*>(signature.constData()),
               reinterpret_cast<const unsigned char*>(message.constData()), size_t(message.size()),
               reinterpret_cast<const unsigned char*>(m_raw.constData())) == 0;
}
