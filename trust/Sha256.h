#pragma once

// SHA-256 over data that arrives piece by piece, such as a package while it
// downloads. OpenSSL's implementation uses the CPU's SHA instructions where
// there are any, so hashing keeps up with a fast download.

#include <QByteArray>
#include <QtGlobal>

class QIODevice;
class QString;
struct evp_md_ctx_st;

class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void addData(const char* data, qint64 size);
    // Reads `device` from where it stands, `limit` bytes at most (-1: to its
    // end), into the hash; the bytes read, or -1 for a read error.
    qint64 addFrom(QIODevice& device, qint64 limit = -1);
    // Lower-case hex of everything added; the hash starts over afterwards.
    QByteArray hexDigest();

    static QByteArray hexOf(const QByteArray& data);
    // Hash and length of the file at `path`; false when it cannot be read.
    static bool hexOfFile(const QString& path, QByteArray& hex, qint64& length);

private:
    void restart();

    evp_md_ctx_st* m_context = nullptr;
};
