#include "publisher/KeyFiles.h"

#include "trust/PublicKey.h"
#include "trust/SigningKey.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

namespace {

// A key file is one short line; anything much longer is not one.
constexpr qint64 kMaxKeyFileBytes = 1024;

const QString kPrivateSuffix = QStringLiteral(".key");
const QString kPublicSuffix = QStringLiteral(".pub");

#ifdef _WIN32
// Windows has no mode bits: a new file takes the access list of its folder.
int createOwnerOnly(const QString& path)
{
    return ::_wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                    _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | _O_BINARY,
                    _S_IREAD | _S_IWRITE);
}
#else
int createOwnerOnly(const QString& path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  0600);
}
#endif

// The mode is given when the file is made, so the private key is never
// readable by others, not even until a later change of mode.
bool openOwnerOnly(QFile& file)
{
    const int descriptor = createOwnerOnly(file.fileName());
    if (descriptor < 0)
        return false;
    if (file.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
        return true;
    ::close(descriptor);
    return false;
}

bool writeNewFile(const QString& path, const QString& line, bool ownerOnly, QString& errorText)
{
    QFile file(path);
    const bool opened =
        ownerOnly ? openOwnerOnly(file) : file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    const QString openError = ownerOnly ? qt_error_string(errno) : file.errorString();
    const QByteArray bytes = line.toLatin1() + '\n';
    if (opened && file.write(bytes) == bytes.size() && file.flush())
        return true;
    errorText = QString("cannot write %1: %2").arg(path, opened ? file.errorString() : openError);
    if (opened)
        QFile::remove(path);
    return false;
}

bool existsAny(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Private and public key files have the same shape, so only the name tells
// them apart; taking one for the other would sign with a published key or
// publish a private one.
bool isNamedAsKind(const QString& path, const QString& expected, const QString& other,
                   QString& errorText)
{
    if (!path.endsWith(other))
        return true;
    errorText = QString("%1 is not a %2 file").arg(path, expected);
    return false;
}

bool readKeyLine(const QString& path, QString& line, QString& errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QString("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    line = QString::fromLatin1(file.read(kMaxKeyFileBytes)).trimmed();
    return true;
}

// One key file of the kind its name says, parsed by `parse`.
template <typename Key>
bool readKeyFile(const QString& path, bool privateKey, bool (*parse)(const QString&, Key&),
                 Key& key, QString& errorText)
{
    const QString& expected = privateKey ? kPrivateSuffix : kPublicSuffix;
    const QString& other = privateKey ? kPublicSuffix : kPrivateSuffix;
    QString line;
    if (!isNamedAsKind(path, expected, other, errorText) || !readKeyLine(path, line, errorText))
        return false;
    if (parse(line, key))
        return true;
    errorText = QString("%1 holds no %2 key").arg(path, privateKey ? "private" : "public");
    return false;
}

bool readPublicKey(const QString& path, PublicKey& key, QString& errorText)
{
    return readKeyFile(path, false, &PublicKey::fromBase64, key, errorText);
}

} // namespace

bool writeKeyPair(const QString& name, const SigningKey& key, QString& errorText)
{
    const QString privatePath = name + kPrivateSuffix;
    const QString publicPath = name + kPublicSuffix;
    for (const QString& path : {privatePath, publicPath}) {
        if (existsAny(path)) {
            errorText = QString("%1 exists already; keys are never overwritten").arg(path);
            return false;
        }
    }
    if (!writeNewFile(privatePath, key.seedBase64(), true, errorText))
        return false;
    if (writeNewFile(publicPath, key.publicKey().toBase64(), false, errorText))
        return true;
    QFile::remove(privatePath);
    return false;
}

bool readSigningKey(const QString& path, SigningKey& key, QString& errorText)
{
    return readKeyFile(path, true, &SigningKey::fromSeedBase64, key, errorText);
}

bool readSigningKeys(const QStringList& paths, QVector<SigningKey>& keys, QString& errorText)
{
    for (const QString& path : paths) {
        SigningKey key;
        if (!readSigningKey(path, key, errorText))
            return false;
        keys.append(key);
    }
    return true;
}

bool readPublicKeys(const QStringList& paths, QVector<PublicKey>& keys, QString& errorText)
{
    for (const QString& path : paths) {
        PublicKey key;
        if (!readPublicKey(path, key, errorText))
            return false;
        if (!keys.contains(key))
            keys.append(key);
    }
    return true;
}
