#include "trust/SigningKey.h"

#include "trust/Base64.h"
#include "trust/Sodium.h"

#include <sodium.h>

namespace {

unsigned char* bytes(QByteArray& data)
{
    return reinterpret_cast<unsigned char*>(data.data());
}

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

} // namespace

SigningKey::~SigningKey()
{
    // data() detaches a shared copy first, so only the last holder wipes
    // the bytes everyone shared.
    if (!m_secret.isEmpty())
        sodium_memzero(m_secret.data(), size_t(m_secret.size()));
}

bool SigningKey::generate(SigningKey& key)
{
    if (!sodiumReady())
        return false;
    QByteArray seed(crypto_sign_SEEDBYTES, Qt::Uninitialized);
    randombytes_buf(bytes(seed), size_t(seed.size()));
    const bool made = key.deriveFromSeed(seed);
    sodium_memzero(seed.data(), size_t(seed.size()));
    return made;
}

bool SigningKey::fromSeedBase64(const QString& text, SigningKey& key)
{
    QByteArray seed;
    if (!decodeCanonicalBase64(text.trimmed(), seed) || seed.size() != crypto_sign_SEEDBYTES)
        return false;
    return sodiumReady() && key.deriveFromSeed(seed);
}

bool SigningKey::deriveFromSeed(const QByteArray& seed)
{
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    QByteArray secret(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    if (crypto_sign_seed_keypair(bytes(publicKey), bytes(secret), bytes(seed)) != 0)
        return false;
    m_secret = secret;
    return true;
}

QString SigningKey::seedBase64() const
{
    return QString::fromLatin1(m_secret.left(crypto_sign_SEEDBYTES).toBase64());
}

PublicKey SigningKey::publicKey() const
{
    return PublicKey::fromRaw(m_secret.mid(crypto_sign_SEEDBYTES));
}

QByteArray SigningKey::sign(const QByteArray& message) const
{
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(bytes(signature), nullptr, bytes(message), size_t(message.size()),
                         bytes(m_secret));
    return signature;
}
