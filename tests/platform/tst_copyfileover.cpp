#include "support/FileTree.h"
#include "support/PosixAccess.h"
#include <QStorageInfo>
#include <QtTest>

#include "platform/Platform.h"

namespace {

// Read and write for everybody, execute for the owner: a mode the usual
// umask would cut down if it were given at creation.
const QFile::Permissions kOddMode =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
    QFile::ExeUser | QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
// The mode of a file already in the installation.
const QFile::Permissions kInstalledMode =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7919) >> 5);
    return bytes;
}

void writeFile(const QString& path, const QByteArray& content, QFile::Permissions mode)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    QVERIFY(file.setPermissions(mode));
}

} // namespace

class TestCopyFileOver : public QObject
{
    Q_OBJECT

private slots:
    void copies_data();
    void copies();
    void refuses_data();
    void refuses();
    void ownerAndMode_data();
    void ownerAndMode();
    void specialBitsAndLinks_data();
    void specialBitsAndLinks();
};

void TestCopyFileOver::copies_data()
{
    QTest::addColumn<bool>("otherFileSystem");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("targetExists");

    QTest::newRow("empty file") << false << 0 << false;
    QTest::newRow("several MB over an existing file") << false << 3'000'007 << true;
    // The kernel does not copy between file systems of different kinds; the
    // bytes then go through the process.
    QTest::newRow("from another file system") << true << 3'000'007 << true;
    QTest::newRow("empty file from another file system") << true << 0 << false;
}

void TestCopyFileOver::copies()
{
    QFETCH(bool, otherFileSystem);
    QFETCH(int, size);
    QFETCH(bool, targetExists);

    QTemporaryDir targetDir;
    QTemporaryDir otherDir(QStringLiteral("/dev/shm/vaderoru-XXXXXX"));
    if (otherFileSystem && (!otherDir.isValid() || QStorageInfo(otherDir.path()).device() ==
                                                       QStorageInfo(targetDir.path()).device()))
        QSKIP("no second file system at /dev/shm");
    const QString source = (otherFileSystem ? otherDir.path() : targetDir.path()) + "/source.bin";
    const QString target = targetDir.path() + "/target.bin";
    const QByteArray content = pattern(size);
    writeFile(source, content, kOddMode);
    if (targetExists)
        writeFile(target, "older and shorter", kInstalledMode);

    QVERIFY(platform::copyFileOver(source, target));
    QVERIFY(fileContent(target) == content);
    // A file the package replaces keeps its mode; a new one has the package's.
    QCOMPARE(keptMode(QFile::permissions(target)),
             keptMode(targetExists ? kInstalledMode : kOddMode));
    const QStringList expectedFiles =
        otherFileSystem ? QStringList{"target.bin"} : QStringList{"source.bin", "target.bin"};
    QCOMPARE(QDir(targetDir.path()).entryList(QDir::Files), expectedFiles);
}

void TestCopyFileOver::refuses_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");

    QTest::newRow("missing source") << QString("missing.bin") << QString("target.bin");
    QTest::newRow("source is a folder") << QString("folder") << QString("target.bin");
    QTest::newRow("target in a missing folder")
        << QString("source.bin") << QString("missing/target.bin");
    QTest::newRow("folder in the target's place") << QString("source.bin") << QString("folder");
}

// A copy that cannot be made leaves the target as it was and nothing beside it.
void TestCopyFileOver::refuses()
{
    QFETCH(QString, source);
    QFETCH(QString, target);

    QTemporaryDir dir;
    writeFile(dir.filePath("source.bin"), "source", kOddMode);
    writeFile(dir.filePath("target.bin"), "target", kOddMode);
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QVERIFY(!platform::copyFileOver(dir.filePath(source), dir.filePath(target)));
    QCOMPARE(fileContent(dir.filePath("target.bin")), QByteArray("target"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(QDir(dir.filePath("folder")).isEmpty());
}

void TestCopyFileOver::ownerAndMode_data()
{
    QTest::addColumn<bool>("exact");        // copyFileExactly, else copyFileOver
    QTest::addColumn<bool>("targetExists"); // with kInstalledMode
    QTest::addColumn<QString>("givenAway"); // "source", "target" or "folder": kOtherUser's
    QTest::addColumn<bool>("asOtherUser");  // the copy runs as kOtherUser
    QTest::addColumn<bool>("sourceMode");   // the copy's mode: the source's, else the target's

    // Every copy ends up kOtherUser's.
    QTest::newRow("replaced file keeps its owner") << false << true << "target" << false << false;
    QTest::newRow("new file takes its folder's owner")
        << false << false << "folder" << false << true;
    QTest::newRow("replaced by a user who may not give files away")
        << false << true << "folder" << true << false;
    QTest::newRow("backup keeps the original's owner")
        << true << false << "source" << false << true;
}

void TestCopyFileOver::ownerAndMode()
{
    QFETCH(bool, exact);
    QFETCH(bool, targetExists);
    QFETCH(QString, givenAway);
    QFETCH(bool, asOtherUser);
    QFETCH(bool, sourceMode);
    if (!runsAsRoot())
        QSKIP("giving files to another user needs root");

    // Below /tmp, which every user may pass through.
    QTemporaryDir dir(QStringLiteral("/tmp/vaderoru-owner-XXXXXX"));
    QVERIFY(dir.isValid());
    const QString source = dir.filePath("source.bin");
    const QString target = dir.filePath("target.bin");
    writeFile(source, "package", kOddMode);
    if (targetExists)
        writeFile(target, "installed", kInstalledMode);
    const QString away = givenAway == "folder" ? dir.path() : dir.filePath(givenAway + ".bin");
    QVERIFY(giveTo(away, kOtherUser));

    if (asOtherUser)
        QVERIFY(actAs(kOtherUser));
    const bool copied =
        exact ? platform::copyFileExactly(source, target) : platform::copyFileOver(source, target);
    if (asOtherUser)
        QVERIFY(actAsRoot());
    QVERIFY(copied);
    QCOMPARE(fileContent(target), QByteArray("package"));
    QCOMPARE(QFile::permissions(target), sourceMode ? kOddMode : kInstalledMode);
    QCOMPARE(ownerOf(target), QString("%1:%1").arg(kOtherUser));
}

void TestCopyFileOver::specialBitsAndLinks_data()
{
    QTest::addColumn<QString>("call");     // "over", "into place" or "exactly"
    QTest::addColumn<QString>("replaced"); // at the target: "nothing", "file" or "link"
    QTest::addColumn<int>("sourceMode");   // -1: the source is a link to the other file
    QTest::addColumn<int>("otherMode");    // of the file replaced, or the one linked to
    QTest::addColumn<int>("expectedMode"); // -1: a link to the same place

    const auto row = [](const char* name, const char* call, const char* replaced, int source,
                        int other, int expected) {
        QTest::newRow(name) << QString(call) << QString(replaced) << source << other << expected;
    };
    row("over a set-user-ID file", "over", "file", 0644, 04755, 0755);
    row("into place over a set-user-ID file", "into place", "file", 0644, 04755, 0755);
    row("package with set-group-ID and sticky bits", "over", "nothing", 03755, 0644, 0755);
    row("over a link to a set-user-ID file", "over", "link", 0644, 04755, 0644);
    row("into place over a link to a set-user-ID file", "into place", "link", 0644, 04755, 0644);
    row("backup of a set-user-ID file", "exactly", "nothing", 04755, 0644, 04755);
    row("backup of a link", "exactly", "nothing", -1, 04755, -1);
}

// An installed file never runs as its owner by the updater's doing; a link
// is replaced or copied as itself, and what it leads to stays as it was.
void TestCopyFileOver::specialBitsAndLinks()
{
    QFETCH(QString, call);
    QFETCH(QString, replaced);
    QFETCH(int, sourceMode);
    QFETCH(int, otherMode);
    QFETCH(int, expectedMode);

    QTemporaryDir dir;
    const QString source = dir.filePath("source.bin");
    const QString target = dir.filePath("target.bin");
    const QString other = dir.filePath("other.bin");
    writeFile(other, "other", kOddMode);
    QVERIFY(setMode(other, otherMode));
    if (sourceMode < 0)
        QVERIFY(QFile::link(other, source));
    else
        writeFile(source, "package", kOddMode);
    QVERIFY(sourceMode < 0 || setMode(source, sourceMode));
    if (replaced == "file")
        QVERIFY(QFile::copy(other, target) && setMode(target, otherMode));
    if (replaced == "link")
        QVERIFY(QFile::link(other, target));

    const bool done =
        call == "over" ? platform::copyFileOver(source, target)
        : call == "into place"
            ? platform::moveIntoPlace(source, target, replaced == "nothing" ? QString() : target)
                  .succeeded()
            : platform::copyFileExactly(source, target);
    QVERIFY(done);
    QCOMPARE(modeOf(target), expectedMode);
    if (expectedMode < 0)
        QCOMPARE(QFile::symLinkTarget(target), other);
    else
        QCOMPARE(fileContent(target), QByteArray("package"));
    QCOMPARE(fileContent(other), QByteArray("other"));
    QCOMPARE(modeOf(other), otherMode);
}

QTEST_GUILESS_MAIN(TestCopyFileOver)
#include "tst_copyfileover.moc"
