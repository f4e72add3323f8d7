#pragma once

// The vendor's key files, one line of base64 each: NAME.key holds a private
// key's seed and is readable by its owner only, NAME.pub its public key.

#include <QStringList>
#include <QVector>

class PublicKey;
class SigningKey;

// Refuses when NAME.key or NAME.pub exists: a lost private key cannot be
// made again, so nothing is ever written over one.
bool writeKeyPair(const QString& name, const SigningKey& key, QString& errorText);
bool readSigningKey(const QString& path, SigningKey& key, QString& errorText);
bool readSigningKeys(const QStringList& paths, QVector<SigningKey>& keys, QString& errorText);
bool readPublicKeys(const QStringList& paths, QVector<PublicKey>& keys, QString& errorText);
