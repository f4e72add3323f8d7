#include "download/ExtractZip.h"
#include "support/FileTree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <zip.h>

namespace {

enum class EntryKind
{
    File,
    Folder
};

struct ZipEntry
{
    QByteArray name;
    QByteArray data;
    EntryKind kind = EntryKind::File;
    bool stored = false;
    quint32 unixMode = 0100644; // 0: made on a system without Unix modes
};

using ZipEntries = QVector<ZipEntry>;
using Tree = QMap<QString, QByteArray>; // relative path -> content; folders end in "/"

ZipEntry file(const QByteArray& name, const QByteArray& data, bool stored = false,
              quint32 mode = 0100644)
{
    return ZipEntry{name, data, EntryKind::File, stored, mode};
}

ZipEntry folder(const QByteArray& name)
{
    return ZipEntry{name, QByteArray(), EntryKind::Folder, false, 040755};
}

QByteArray sampleData(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + seed) % 251);
    return data;
}

// Like zip tools, libzip marks the names that read as UTF-8 and stores any
// other name unmarked.
zip_int64_t addEntry(zip_t* archive, const ZipEntry& entry)
{
    if (entry.kind == EntryKind::Folder)
        return zip_dir_add(archive, entry.name.constData(), ZIP_FL_ENC_GUESS);
    zip_source_t* source =
        zip_source_buffer(archive, entry.data.constData(), zip_uint64_t(entry.data.size()), 0);
    const zip_int64_t index =
        zip_file_add(archive, entry.name.constData(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) {
        zip_source_free(source);
        return index;
    }
    zip_set_file_compression(archive, zip_uint64_t(index),
                             entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    return index;
}

bool writeZip(const QString& path, const ZipEntries& entries)
{
    int code = 0;
    zip_t* archive =
        zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (archive == nullptr)
        return false;
    for (const ZipEntry& entry : entries) {
        const zip_int64_t index = addEntry(archive, entry);
        if (index < 0) {
            zip_discard(archive);
            return false;
        }
        const zip_uint8_t system = entry.unixMode ? ZIP_OPSYS_UNIX : ZIP_OPSYS_DOS;
        zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, system,
                                         entry.unixMode << 16);
    }
    return zip_close(archive) == 0;
}

Tree readTree(const QString& root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir() && !it.fileInfo().isSymLink()) {
            tree.insert(relative + QLatin1Char('/'), QByteArray());
            continue;
        }
        QFile content(path);
        tree.insert(relative, content.open(QIODevice::ReadOnly) ? content.readAll() : "<link>");
    }
    return tree;
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

qint64 byteCount(const Tree& tree)
{
    qint64 bytes = 0;
    for (const QByteArray& content : tree)
        bytes += content.size();
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(ZipEntries)
Q_DECLARE_METATYPE(Tree)

class TestZipExtract : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void extractsLayout_data();
    void extractsLayout();
    void keepsPermissions();
    void extractsZip64();
    void rejectsHostileNames_data();
    void rejectsHostileNames();
    void rejectsClashingEntries_data();
    void rejectsClashingEntries();
    void rejectsDamagedArchives_data();
    void rejectsDamagedArchives();

private:
    QString archivePath() const { return m_root->filePath(QStringLiteral("package.zip")); }
    QString targetPath() const { return m_root->filePath(QStringLiteral("temp")); }

    std::unique_ptr<QTemporaryDir> m_root;
};

void TestZipExtract::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void TestZipExtract::extractsLayout_data()
{
    QTest::addColumn<ZipEntries>("entries");
    QTest::addColumn<Tree>("expected");

    const QByteArray big = sampleData(300 * 1024, 3); // several read chunks
    QTest::newRow("stored and deflated")
        << ZipEntries{file("stored.bin", big, true), file("deflated.bin", big),
                      file("text.txt", QByteArray(5000, 'x')), file("empty.txt", QByteArray())}
        << Tree{{"stored.bin", big},
                {"deflated.bin", big},
                {"text.txt", QByteArray(5000, 'x')},
                {"empty.txt", QByteArray()}};
    QTest::newRow("nested folders without folder entries")
        << ZipEntries{file("a/b/c/deep.txt", "deep"), file("a/top.txt", "top")}
        << Tree{{"a/", {}},
                {"a/b/", {}},
                {"a/b/c/", {}},
                {"a/b/c/deep.txt", "deep"},
                {"a/top.txt", "top"}};
    QTest::newRow("empty folder entries")
        << ZipEntries{folder("empty/"), folder("x/y/"), file("x/f.txt", "f")}
        << Tree{{"empty/", {}}, {"x/", {}}, {"x/y/", {}}, {"x/f.txt", "f"}};
    QTest::newRow("unicode names")
        << ZipEntries{file(u8"文件夹/数据.txt", "zh"), file(u8"Ärger ü.bin", "de")}
        << Tree{{QString::fromUtf8(u8"文件夹/"), {}},
                {QString::fromUtf8(u8"文件夹/数据.txt"), "zh"},
                {QString::fromUtf8(u8"Ärger ü.bin"), "de"}};
    QTest::newRow("dot segments and backslashes")
        << ZipEntries{file("./bin\\core.dll", "core"), file("doc//readme.txt", "r")}
        << Tree{{"bin/", {}}, {"bin/core.dll", "core"}, {"doc/", {}}, {"doc/readme.txt", "r"}};
    QTest::newRow("hidden files") << ZipEntries{file(".htaccess", "deny"), file(".config/x", "x")}
                                  << Tree{{".htaccess", "deny"},
                                          {".config/", {}},
                                          {".config/x", "x"}};
    // Unmarked names from Simplified Chinese Windows; GBK's second bytes
    // include "\", which is no separator there.
    QTest::newRow("GBK names") << ZipEntries{file("\xD6\xD0\xCE\xC4.txt", "zh"),
                                             file("\x95\x5C.txt", "bs")}
                               << Tree{{QString::fromUtf8(u8"中文.txt"), "zh"},
                                       {QString::fromUtf8(u8"昞.txt"), "bs"}};
}

void TestZipExtract::extractsLayout()
{
    QFETCH(ZipEntries, entries);
    QFETCH(Tree, expected);
    QVERIFY(writeZip(archivePath(), entries));

    qint64 unpacked = -1;
    QVERIFY(inspectZip(archivePath(), unpacked));
    QVERIFY(!QFileInfo::exists(targetPath()));
    QCOMPARE(unpacked, byteCount(expected));
    QVERIFY(extractZip(archivePath(), targetPath()));
    QCOMPARE(readTree(targetPath()), expected);
}

void TestZipExtract::keepsPermissions()
{
    QVERIFY(writeZip(archivePath(),
                     {file("bin/tool", "#!/bin/sh\n", false, 0100755),
                      file("readonly.txt", "r", false, 0100444),
                      file("setuid", "s", false, 0104755), file("plain.txt", "p", false, 0)}));
    QVERIFY(extractZip(archivePath(), targetPath()));

    const auto exec = QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    QVERIFY(QFile::permissions(targetPath() + "/bin/tool") & exec);
    QVERIFY(!(QFile::permissions(targetPath() + "/readonly.txt") & QFileDevice::WriteOwner));
    QVERIFY(QFileInfo(targetPath() + "/setuid").isExecutable());
    QVERIFY(!(QFileInfo(targetPath() + "/setuid").permissions() & QFileDevice::WriteGroup));
    const auto plain = QFile::permissions(targetPath() + "/plain.txt");
    QCOMPARE(plain & (QFileDevice::WriteOwner | exec), QFileDevice::WriteOwner);
}

void TestZipExtract::extractsZip64()
{
    // "zip -fz" writes Zip64 records even for small files.
    const QByteArray data = sampleData(100 * 1024, 9);
    QVERIFY(QDir(m_root->path()).mkpath("src/sub"));
    QVERIFY(writeAll(m_root->filePath("src/sub/data.bin"), data));
    QProcess zip;
    zip.setWorkingDirectory(m_root->filePath("src"));
    zip.start("zip", {"-q", "-r", "-fz", archivePath(), "sub"});
    if (!zip.waitForStarted())
        QSKIP("zip is not installed");
    QVERIFY(zip.waitForFinished());
    QCOMPARE(zip.exitCode(), 0);
    const QByteArray archive = fileContent(archivePath());
    QCOMPARE(int(uchar(archive.at(4))), 45); // version needed: 4.5, Zip64

    QVERIFY(extractZip(archivePath(), targetPath()));
    QCOMPARE(fileContent(targetPath() + "/sub/data.bin"), data);
}

void TestZipExtract::rejectsHostileNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<quint32>("mode");

    QTest::newRow("parent") << QByteArray("../evil") << 0100644u;
    QTest::newRow("parent inside") << QByteArray("a/../../evil") << 0100644u;
    QTest::newRow("backslash parent") << QByteArray("..\\evil") << 0100644u;
    QTest::newRow("backslash parent inside") << QByteArray("a\\..\\..\\evil") << 0100644u;
    QTest::newRow("dots and blanks") << QByteArray("a/.. /evil") << 0100644u;
    // Absolute names point into the test's own folder so that a wrong write is seen.
    QTest::newRow("absolute") << QByteArray("/ABSOLUTE/evil") << 0100644u;
    QTest::newRow("drive letter") << QByteArray("C:/evil") << 0100644u;
    QTest::newRow("drive-relative") << QByteArray("C:evil") << 0100644u;
    QTest::newRow("UNC") << QByteArray("\\\\server\\share\\evil") << 0100644u;
    QTest::newRow("symbolic link") << QByteArray("link") << 0120777u;
    QTest::newRow("fifo") << QByteArray("pipe") << 0010644u;
    QTest::newRow("neither UTF-8 nor GB18030") << QByteArray("\xFF.txt") << 0100644u;
    // Marked as UTF-8 (libzip checks no more than the byte pattern), yet an
    // overlong "/", and GB18030 would take it.
    QTest::newRow("marked UTF-8, overlong") << QByteArray("..\xC0\xAFoutside") << 0100644u;
}

void TestZipExtract::rejectsHostileNames()
{
    QFETCH(QByteArray, name);
    QFETCH(quint32, mode);
    name.replace("/ABSOLUTE", QFile::encodeName(m_root->path()));
    // The hostile entry comes last: checking every name before writing means
    // not even the harmless first entry lands.
    QVERIFY(writeZip(archivePath(), {file("good.txt", "good"), file(name, "..", false, mode),
                                     file("link/evil", "through the link")}));
    const Tree before = readTree(m_root->path());

    qint64 unpacked = -1;
    QVERIFY(!inspectZip(archivePath(), unpacked));
    QVERIFY(!extractZip(archivePath(), targetPath()));
    Tree after = readTree(m_root->path());
    after.remove("temp/");
    QCOMPARE(after, before);
    QVERIFY(readTree(targetPath()).isEmpty());
}

void TestZipExtract::rejectsClashingEntries_data()
{
    QTest::addColumn<ZipEntries>("entries");

    QTest::newRow("same after separators and dots")
        << ZipEntries{file("a/b.txt", "1"), file("./a\\b.txt", "2")};
    QTest::newRow("case") << ZipEntries{file("Data/A.txt", "1"), file("data/a.txt", "2")};
    QTest::newRow("non-ASCII case") << ZipEntries{file(u8"Ä.txt", "1"), file(u8"ä.txt", "2")};
    QTest::newRow("final sigma") << ZipEntries{file(u8"ΟΔΟΣ", "1"), file(u8"οδος", "2")};
    QTest::newRow("trailing dot") << ZipEntries{file("a.txt", "1"), file("a.txt.", "2")};
    QTest::newRow("file and folder") << ZipEntries{folder("a/"), file("a", "1")};
    QTest::newRow("file beside folder") << ZipEntries{file("a", "1"), file("a/b", "2")};
    QTest::newRow("folder spelt twice") << ZipEntries{file("Data/x", "1"), file("data/y", "2")};
}

// Refused while planning: not even the first entry lands.
void TestZipExtract::rejectsClashingEntries()
{
    QFETCH(ZipEntries, entries);
    QVERIFY(writeZip(archivePath(), entries));

    qint64 unpacked = -1;
    QVERIFY(!inspectZip(archivePath(), unpacked));
    QVERIFY(!extractZip(archivePath(), targetPath()));
    QVERIFY(readTree(targetPath()).isEmpty());
}

void TestZipExtract::rejectsDamagedArchives_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("corrupt stored data") << "crc";
    QTest::newRow("corrupt deflated data") << "deflate";
    QTest::newRow("truncated") << "truncate";
    QTest::newRow("not a zip") << "text";
    QTest::newRow("empty file") << "empty";
    QTest::newRow("missing file") << "missing";
    QTest::newRow("inflates past its declared size") << "bomb";
    QTest::newRow("one name twice") << "duplicate";
}

void TestZipExtract::rejectsDamagedArchives()
{
    QFETCH(QString, damage);
    const QByteArray data = sampleData(64 * 1024, 5);
    QVERIFY(writeZip(archivePath(), {file("a.txt", "a"), file("data.bin", data, true),
                                     file("z.txt", QByteArray(70000, 'z'))}));
    QByteArray archive = fileContent(archivePath());
    // z.txt, a run of 'z', is the last entry.
    const int central = archive.lastIndexOf(QByteArray("PK\x01\x02", 4), -1);
    const int localZ = archive.lastIndexOf(QByteArray("PK\x03\x04", 4), central);
    if (damage == "crc") {
        const int at = archive.indexOf(data.mid(1000, 64));
        QVERIFY(at > 0);
        archive[at + 10] = char(archive.at(at + 10) ^ 0x55);
    } else if (damage == "deflate") {
        // The run of 'z' compresses to a few hundred bytes just before the
        // central directory; garble its middle.
        const int dataStart = localZ + 30 + 5; // fixed header + "z.txt"
        for (int i = dataStart + 20; i < central - 20; ++i)
            archive[i] = char(archive.at(i) ^ 0xA5);
    } else if (damage == "truncate") {
        archive.truncate(archive.size() / 2);
    } else if (damage == "text") {
        archive = "This is the body of an error page, not a package.\n";
    } else if (damage == "empty") {
        archive.clear();
    } else if (damage == "bomb") {
        // Declared as 1 KiB in both headers; data and checksum stay intact.
        qToLittleEndian<quint32>(1024, archive.data() + localZ + 22);
        qToLittleEndian<quint32>(1024, archive.data() + central + 24);
    } else if (damage == "duplicate") {
        archive.replace("z.txt", "a.txt");
    }
    if (damage == "missing")
        QVERIFY(QFile::remove(archivePath()));
    else
        QVERIFY(writeAll(archivePath(), archive));

    QVERIFY(!extractZip(archivePath(), targetPath()));
    QVERIFY(!QFileInfo::exists(targetPath() + "/z.txt")); // removed once it failed
}

QTEST_GUILESS_MAIN(TestZipExtract)
#include "tst_zipextract.moc"
