#include "trust/Sha256.h"

#include <QFile>

#include <openssl/evp.h>

Sha256::Sha256() : m_context(EVP_MD_CTX_new())
{
    restart();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_context);
}

void Sha256::restart()
{
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
}

void Sha256::addData(const char* data, qint64 size)
{
    EVP_DigestUpdate(m_context, data, size_t(size));
}

QByteArray Sha256::hexDigest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context, digest, &length);
    restart();
    return QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex();
}

QByteArray Sha256::hexOf(const QByteArray& data)
{
    Sha256 hash;
    hash.addData(data.constData(), data.size());
    return hash.hexDigest();
}

qint64 Sha256::addFrom(QIODevice& device, qint64 limit)
{
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 added = 0;
    while (limit < 0 || added < limit) {
        const qint64 wanted =
            limit < 0 ? buffer.size() : qMin<qint64>(buffer.size(), limit - added);
        const qint64 read = device.read(buffer.data(), wanted);
        if (read < 0)
            return -1;
        if (read == 0)
            break;
        addData(buffer.constData(), read);
        added += read;
    }
    return added;
}

bool Sha256::hexOfFile(const QString& path, QByteArray& hex, qint64& length)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    Sha256 hash;
    length = hash.addFrom(file);
    hex = hash.hexDigest();
    return length >= 0;
}
