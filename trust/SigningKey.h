#pragma once

#include "trust/PublicKey.h"

#include <QByteArray>
#include <QString>

// An Ed25519 private key, kept by the vendor (offline) and never by the
// updater. Stored as the standard base64 of its 32-byte seed, from which
// other Ed25519 tools derive the same key.
class SigningKey
{
public:
    SigningKey() = default;
    ~SigningKey();
    SigningKey(const SigningKey& other) = default;
    SigningKey& operator=(const SigningKey& other) = default;

    static bool generate(SigningKey& key);
    static bool fromSeedBase64(const QString& text, SigningKey& key);

    bool isValid() const { return !m_secret.isEmpty(); }
    QString seedBase64() const;
    PublicKey publicKey() const;
    QByteArray sign(const QByteArray& message) const;

private:
    bool deriveFromSeed(const QByteArray& seed);

    QByteArray m_secret; // libsodium's 64 bytes: seed and public key
};
