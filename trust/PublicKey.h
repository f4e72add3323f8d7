#pragma once

#include <QByteArray>
#include <QString>

// An Ed25519 public key: 32 raw bytes, written as standard base64. Its key id
// is the lower-case hex SHA-256 of the raw bytes.
class PublicKey
{
public:
    static constexpr int kBytes = 32;
    static constexpr int kSignatureBytes = 64;

    static bool fromBase64(const QString& text, PublicKey& key);
    static PublicKey fromRaw(const QByteArray& raw);

    bool isValid() const { return m_raw.size() == kBytes; }
    QString toBase64() const;
    QString keyId() const;
    // True when `signature` is this key's signature of exactly `message`.
    bool verify(const QByteArray& message, const QByteArray& signature) const;

    bool operator==(const PublicKey& other) const { return m_raw == other.m_raw; }

private:
    QByteArray m_raw;
};
