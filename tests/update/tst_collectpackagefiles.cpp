#include <QtTest>

#include "update/Update.h"

namespace {

void writeFile(const QString& path)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(path.toUtf8());
}

} // namespace

class TestCollectPackageFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void listsFiles_data();
    void listsFiles();

private:
    // Where the package is unpacked; entries are named relative to it.
    QString tempFolder() const { return downloadsPath("/update/temp"); }
};

// The unpacked package of a real installation, below the test's own folder.
void TestCollectPackageFiles::init()
{
    cleanup();
    for (const char* file :
         {"Zeta.txt", "alpha.txt", "c.txt", "Beta/z.dll", "Beta/Y.dll", "Beta/deep/x.dll",
          ".hidden", "Beta/.hidden.dll", ".config/settings.ini", "VaDeroru.exe"})
        writeFile(tempFolder() + "/" + file);
    QVERIFY(QDir().mkpath(tempFolder() + "/empty"));
}

void TestCollectPackageFiles::cleanup()
{
    QDir(downloadsPath("")).removeRecursively();
}

void TestCollectPackageFiles::listsFiles_data()
{
    QTest::addColumn<QString>("folder"); // below the temp folder; null: an empty path
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("added");

    // Names in case-insensitive order, files and folders mixed, each folder's
    // files where the folder stands; hidden files and folders like any other.
    QTest::newRow("whole package")
        << "" << true
        << QStringList{"/.config/settings.ini", "/.hidden",    "/alpha.txt",  "/Beta/.hidden.dll",
                       "/Beta/deep/x.dll",      "/Beta/Y.dll", "/Beta/z.dll", "/c.txt",
                       "/VaDeroru.exe",         "/Zeta.txt"};
    QTest::newRow("sub-folder, still named from the temp folder")
        << "/Beta" << true
        << QStringList{"/Beta/.hidden.dll", "/Beta/deep/x.dll", "/Beta/Y.dll", "/Beta/z.dll"};
    QTest::newRow("empty folder") << "/empty" << true << QStringList();
    QTest::newRow("missing folder") << "/missing" << true << QStringList();
    QTest::newRow("empty path") << QString() << false << QStringList();
}

void TestCollectPackageFiles::listsFiles()
{
    QFETCH(QString, folder);
    QFETCH(bool, result);
    QFETCH(QStringList, added);

    Update update(false);
    QVector<QString> files{"/listed before"};
    QCOMPARE(update.collectPackageFiles(folder.isNull() ? QString() : tempFolder() + folder, files),
             result);
    QCOMPARE(QStringList(files.toList()), QStringList{"/listed before"} + added);
}

QTEST_MAIN(TestCollectPackageFiles)
#include "tst_collectpackagefiles.moc"
