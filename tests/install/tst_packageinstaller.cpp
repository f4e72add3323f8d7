#include "install/PackageInstaller.h"
#include "support/FileTree.h"

#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QFile::Permissions kPlain = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                  QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
const QFile::Permissions kExecutable =
    kPlain | QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;

QStringList g_log;

void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_log.append(message);
}

// qInfo() << QString puts the text between quotes.
bool logged(const QString& text)
{
    return g_log.contains(QString("\"%1\"").arg(text));
}

int loggedContaining(const QString& text)
{
    return int(std::count_if(g_log.cbegin(), g_log.cend(),
                             [&](const QString& line) { return line.contains(text); }));
}

void writeFile(const QString& path, const QByteArray& content, QFile::Permissions mode = kPlain)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    QVERIFY(file.setPermissions(mode));
}

// The package's content with the mode of the file it replaces, if any; to be
// taken before the installation.
QString installedEntry(const QString& source, const QString& target)
{
    const QString package = describeEntry(source);
    if (!QFileInfo(target).isFile())
        return package;
    return package.section(' ', 0, 0) + ' ' + describeEntry(target).section(' ', 1, 1) + ' ' +
           package.section(' ', 2);
}

ino_t inodeOf(const QString& path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}

QString ownerOf(const QString& path)
{
    const QFileInfo info(path);
    return QString("%1:%2").arg(info.ownerId()).arg(info.groupId());
}

} // namespace

class TestPackageInstaller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void installsEachKindOfEntry_data();
    void installsEachKindOfEntry();
    void installsWholePackage();
    void updaterExecutableKeepsItsPlace_data();
    void updaterExecutableKeepsItsPlace();
    void failedInstallRollsBackCompletely_data();
    void failedInstallRollsBackCompletely();
    void failedBackupWritesNothing_data();
    void failedBackupWritesNothing();
    void newFoldersBelongToTheInstallation();

private:
    QString app() const { return m_root->path() + "/app"; }
    QString temp() const { return m_root->path() + "/temp"; }
    QString backup() const { return m_root->path() + "/backup"; }
    void installBase();
    std::unique_ptr<PackageInstaller> installerFor(const QStringList& entries) const;

    std::unique_ptr<QTemporaryDir> m_root;
    QtMessageHandler m_previousHandler = nullptr;
};

void TestPackageInstaller::initTestCase()
{
    m_previousHandler = qInstallMessageHandler(recordMessage);
}

void TestPackageInstaller::cleanupTestCase()
{
    qInstallMessageHandler(m_previousHandler);
}

void TestPackageInstaller::init()
{
    g_log.clear();
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QVERIFY(QDir().mkpath(temp()));
    QVERIFY(QDir().mkpath(backup()));
    installBase();
}

// The running updater, settings and a few program files.
void TestPackageInstaller::installBase()
{
    writeFile(app() + "/VaDeroru", "running updater", kExecutable);
    writeFile(app() + "/config.ini", "[Version]\nVersion=1.0\n");
    writeFile(app() + "/bin/core.dll", "old core");
    writeFile(app() + "/bin/tool", "old tool");
    writeFile(app() + "/LICENSE", "old licence");
    writeFile(app() + "/docs/manual.txt", "old manual");
}

std::unique_ptr<PackageInstaller>
TestPackageInstaller::installerFor(const QStringList& entries) const
{
    auto installer = std::make_unique<PackageInstaller>(app(), temp(), backup());
    for (const QString& entry : entries)
        installer->addEntry(entry);
    return installer;
}

void TestPackageInstaller::installsEachKindOfEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("earlierTarget"); // null: as the base installation has it
    QTest::addColumn<int>("mode");

    const auto row = [](const char* name, const char* entry, const char* target,
                        QFile::Permissions mode, const QByteArray& earlierTarget = QByteArray()) {
        QTest::newRow(name) << QString(entry) << QString(target) << earlierTarget << int(mode);
    };
    row("replaced file", "/bin/core.dll", "/bin/core.dll", kPlain);
    row("file in new nested folders", "/plugins/imageformats/extra/qjpeg.so",
        "/plugins/imageformats/extra/qjpeg.so", kPlain);
    row("replaced file without suffix", "/LICENSE", "/LICENSE", kPlain);
    row("new file without suffix", "/NOTICE", "/NOTICE", kPlain);
    row("replaced file keeps its mode", "/bin/tool", "/bin/tool", kExecutable);
    row("new executable", "/bin/helper", "/bin/helper", kExecutable);
    row("windows updater in a sub-folder", "/bin/VaDeroru.exe", "/VaDeroru_temp", kExecutable);
    row("updater configuration", "/VaDeroru.exe.config", "/VaDeroru_temp", kPlain);
    row("linux updater", "/VaDeroru", "/VaDeroru_temp", kExecutable);
    row("linux updater in a sub-folder", "/tools/VaDeroru", "/VaDeroru_temp", kExecutable);
    row("updater over an earlier new updater", "/VaDeroru", "/VaDeroru_temp", kExecutable,
        "earlier new updater");
    row("name only like the updater", "/bin/VaDeroruHelper", "/bin/VaDeroruHelper", kExecutable);
}

// Installing one entry changes exactly its target (and the folders it needs);
// the rollback gives back exactly the tree that was there before.
void TestPackageInstaller::installsEachKindOfEntry()
{
    QFETCH(QString, entry);
    QFETCH(QString, target);
    QFETCH(QByteArray, earlierTarget);
    QFETCH(int, mode);

    if (!earlierTarget.isNull())
        writeFile(app() + target, earlierTarget);
    writeFile(temp() + entry, "new " + entry.toUtf8(), QFile::Permissions(mode));
    const FileTree before = snapshotTree(app());
    FileTree expected = before;
    expected.insert(target, installedEntry(temp() + entry, app() + target));

    auto installer = installerFor({entry});
    QString failedPath;
    QVERIFY(installer->backUp(failedPath));
    QVERIFY(installer->install());

    for (QString folder = QFileInfo(target).path(); folder != "/";
         folder = QFileInfo(folder).path())
        expected.insert(folder, "folder");
    QCOMPARE(treeDifference(snapshotTree(app()), expected), QString());

    installer->rollBack();
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
    QCOMPARE(loggedContaining("failure"), 0);
}

void TestPackageInstaller::installsWholePackage()
{
    const QStringList entries = {
        "/bin/core.dll",          "/bin/tool", "/bin/VaDeroru.exe",   "/docs/manual.txt",
        "/docs/new/whatsnew.txt", "/LICENSE",  "/plugins/a/b/one.so", "/plugins/a/two.so",
        "/VaDeroru.exe.config"};
    for (const QString& entry : entries) {
        const bool executable = entry.startsWith("/bin/");
        writeFile(temp() + entry, "new " + entry.toUtf8(), executable ? kExecutable : kPlain);
    }
    const FileTree before = snapshotTree(app());
    FileTree expected = before;
    for (const QString& entry : entries) {
        if (!entry.contains("VaDeroru"))
            expected.insert(entry, installedEntry(temp() + entry, app() + entry));
    }

    auto installer = installerFor(entries);
    QString failedPath;
    QVERIFY(installer->backUp(failedPath));
    QVERIFY(installer->install());

    // Both updater entries claim the new updater's place; the executable
    // keeps it although the configuration file comes later.
    expected.insert("/VaDeroru_temp", describeEntry(temp() + "/bin/VaDeroru.exe"));
    for (const QString& folder : QStringList{"/docs/new", "/plugins", "/plugins/a", "/plugins/a/b"})
        expected.insert(folder, "folder");
    QCOMPARE(treeDifference(snapshotTree(app()), expected), QString());

    installer->rollBack();
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
    QCOMPARE(loggedContaining("failure"), 0);
}

void TestPackageInstaller::updaterExecutableKeepsItsPlace_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("executable");
    QTest::newRow("configuration after it")
        << QStringList{"/VaDeroru.exe", "/VaDeroru.exe.config"} << "/VaDeroru.exe";
    QTest::newRow("configuration before it")
        << QStringList{"/VaDeroru.exe.config", "/x/VaDeroru.exe"} << "/x/VaDeroru.exe";
    QTest::newRow("linux name") << QStringList{"/VaDeroru.exe.config", "/x/VaDeroru"}
                                << "/x/VaDeroru";
}

// A file merely named after the updater must never become the next updater.
void TestPackageInstaller::updaterExecutableKeepsItsPlace()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, executable);
    for (const QString& entry : entries)
        writeFile(temp() + entry, "new " + entry.toUtf8(), kExecutable);

    auto installer = installerFor(entries);
    QString failedPath;
    QVERIFY(installer->backUp(failedPath));
    QVERIFY(installer->install());
    QCOMPARE(describeEntry(app() + "/VaDeroru_temp"), describeEntry(temp() + executable));
}

void TestPackageInstaller::failedInstallRollsBackCompletely_data()
{
    QTest::addColumn<QString>("blocker"); // a folder when it ends in "/", else a file
    QTest::addColumn<QString>("failingEntry");
    QTest::addColumn<QString>("failingTarget");
    QTest::addColumn<int>("position"); // of the failing entry in the list

    const auto row = [](const char* name, const char* blocker, const char* failingEntry,
                        const char* failingTarget, int position) {
        QTest::newRow(name) << QString(blocker) << QString(failingEntry) << QString(failingTarget)
                            << position;
    };
    row("folder where a file goes, first", "/bin/new.dll/", "/bin/new.dll", "/bin/new.dll", 0);
    row("folder where a file goes, last", "/bin/new.dll/", "/bin/new.dll", "/bin/new.dll", 99);
    row("file where a folder goes, in the middle", "/extras", "/extras/x/new.so",
        "/extras/x/new.so", 3);
    row("folder where the new updater goes", "/VaDeroru_temp/", "/bin/VaDeroru.exe",
        "/VaDeroru_temp", 2);
    row("replaced file whose copy cannot be made", "/docs/manual.txt.vaderoru-part/",
        "/docs/manual.txt", "/docs/manual.txt", 1);
}

// One target that cannot be written: the failure is logged with both paths,
// the other files are still installed, and the rollback leaves the exact tree
// that was there before, with nothing the package added and the target it
// never wrote not even rewritten.
void TestPackageInstaller::failedInstallRollsBackCompletely()
{
    QFETCH(QString, blocker);
    QFETCH(QString, failingEntry);
    QFETCH(QString, failingTarget);
    QFETCH(int, position);

    if (blocker.endsWith('/'))
        writeFile(app() + blocker + "inside.txt", "in the way");
    else
        writeFile(app() + blocker, "in the way");
    QStringList entries = {"/bin/core.dll", "/bin/tool", "/docs/new/whatsnew.txt", "/LICENSE",
                           "/plugins/a/one.so"};
    // A new updater that the rollback has to take away again.
    if (failingTarget != "/VaDeroru_temp")
        entries.append("/VaDeroru");
    entries.insert(qMin(position, entries.size()), failingEntry);
    for (const QString& entry : qAsConst(entries))
        writeFile(temp() + entry, "new " + entry.toUtf8(), kExecutable);
    const FileTree before = snapshotTree(app());
    const QString licence = installedEntry(temp() + "/LICENSE", app() + "/LICENSE");
    const ino_t failingInode = inodeOf(app() + failingTarget);

    auto installer = installerFor(entries);
    QString failedPath;
    QVERIFY(installer->backUp(failedPath));
    QVERIFY(!installer->install());

    QVERIFY2(logged(QString("Update install failure: from:%1 to:%2")
                        .arg(temp() + failingEntry, app() + failingTarget)),
             qPrintable(g_log.join('\n')));
    QCOMPARE(loggedContaining("failure"), 1);
    // The loop went on past the failure.
    QCOMPARE(describeEntry(app() + "/plugins/a/one.so"),
             describeEntry(temp() + "/plugins/a/one.so"));
    QCOMPARE(describeEntry(app() + "/LICENSE"), licence);

    installer->rollBack();
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
    QCOMPARE(loggedContaining("failure"), 1);
    QCOMPARE(inodeOf(app() + failingTarget), failingInode);
}

void TestPackageInstaller::failedBackupWritesNothing_data()
{
    QTest::addColumn<QString>("blockedBackupPath"); // relative to the backup folder
    QTest::addColumn<QString>("failedTarget");

    QTest::newRow("backup folder is a file") << QString() << QString("/bin/core.dll");
    QTest::newRow("backup sub-folder is a file") << QString("/docs") << QString("/docs/manual.txt");
}

void TestPackageInstaller::failedBackupWritesNothing()
{
    QFETCH(QString, blockedBackupPath);
    QFETCH(QString, failedTarget);

    const QString blocked = backup() + blockedBackupPath;
    QVERIFY(QDir(blocked).removeRecursively());
    writeFile(blocked, "not a folder");
    const QStringList entries = {"/bin/core.dll", "/bin/new.dll", "/docs/manual.txt", "/LICENSE"};
    for (const QString& entry : entries)
        writeFile(temp() + entry, "new " + entry.toUtf8());
    const FileTree before = snapshotTree(app());

    auto installer = installerFor(entries);
    QString failedPath;
    QVERIFY(!installer->backUp(failedPath));
    QCOMPARE(failedPath, app() + failedTarget);
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
}

// An updater run as root in a user's installation leaves it the user's: the
// folders it makes and the files in them belong to the folder's owner.
void TestPackageInstaller::newFoldersBelongToTheInstallation()
{
    if (::geteuid() != 0)
        QSKIP("giving files to another user needs root");
    QVERIFY(::chown(QFile::encodeName(app()).constData(), 65534, 65534) == 0);
    writeFile(temp() + "/plugins/a/one.so", "new one");

    auto installer = installerFor({"/plugins/a/one.so"});
    QString failedPath;
    QVERIFY(installer->backUp(failedPath));
    QVERIFY(installer->install());
    for (const char* made : {"/plugins", "/plugins/a", "/plugins/a/one.so"})
        QCOMPARE(ownerOf(app() + made), QString("65534:65534"));
}

QTEST_GUILESS_MAIN(TestPackageInstaller)
#include "tst_packageinstaller.moc"
