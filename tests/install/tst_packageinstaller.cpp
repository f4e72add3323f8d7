#include "install/PackageInstaller.h"
#include "platform/Platform.h"
#include "support/FileTree.h"
#include "support/PosixAccess.h"
#include "support/SmallDisk.h"

#include <QScopeGuard>
#include <QtTest>

#include <memory>

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

// `path` with the updater's names as the running system spells them: the
// rows spell them as Linux does, "VaDeroru" and "VaDeroru_temp".
QString onSystem(const QString& path)
{
    QStringList parts = path.split('/');
    for (QString& part : parts) {
        if (part == "VaDeroru")
            part = platform::updaterFileName();
        else if (part == "VaDeroru_temp")
            part = platform::temporaryUpdaterFileName();
    }
    return parts.join('/');
}

QStringList onSystem(const QStringList& paths)
{
    QStringList spelled;
    for (const QString& path : paths)
        spelled << onSystem(path);
    return spelled;
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
    void installsWholePackage_data();
    void installsWholePackage();
    void touchesOnlyChangedFiles_data();
    void touchesOnlyChangedFiles();
    void refusedPreparationChangesNothing_data();
    void refusedPreparationChangesNothing();
    void linkIsReplacedAsLink_data();
    void linkIsReplacedAsLink();
    void oneUpdaterTakesTheSlot_data();
    void oneUpdaterTakesTheSlot();
    void failedInstallRollsBackCompletely_data();
    void failedInstallRollsBackCompletely();
    void failedBackupIsGivenBack_data();
    void failedBackupIsGivenBack();
    void installedFilesBelongToTheInstallation_data();
    void installedFilesBelongToTheInstallation();

private:
    QString app() const { return m_root->path() + "/app"; }
    QString work() const { return m_disk ? m_disk->path() : m_root->path(); }
    QString temp() const { return work() + "/temp"; }
    QString backup() const { return work() + "/backup"; }
    void installBase();
    void makeRefusable(const QString& what, const QString& where, const QString& leadsTo);
    bool moveWorkToOtherFileSystem();
    std::unique_ptr<PackageInstaller> installerFor(const QStringList& entries) const;

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<SmallDisk> m_disk;
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
    m_disk.reset();
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QVERIFY(QDir().mkpath(temp()));
    QVERIFY(QDir().mkpath(backup()));
    installBase();
}

// The running updater, settings and a few program files.
void TestPackageInstaller::installBase()
{
    writeFile(app() + onSystem("/VaDeroru"), "running updater", kExecutable);
    writeFile(app() + "/config.ini", "[Version]\nVersion=1.0\n");
    writeFile(app() + "/bin/core.dll", "old core");
    writeFile(app() + "/bin/tool", "old tool");
    writeFile(app() + "/LICENSE", "old licence");
    writeFile(app() + "/docs/manual.txt", "old manual");
}

// The unpacked package and the backups on a tmpfs of their own.
bool TestPackageInstaller::moveWorkToOtherFileSystem()
{
    m_disk = std::make_unique<SmallDisk>(16);
    return m_disk->isMounted() && QDir().mkpath(temp()) && QDir().mkpath(backup());
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
        QTest::newRow(name) << onSystem(entry) << onSystem(target) << earlierTarget << int(mode);
    };
    row("replaced file", "/bin/core.dll", "/bin/core.dll", kPlain);
    row("file in new nested folders", "/plugins/imageformats/extra/qjpeg.so",
        "/plugins/imageformats/extra/qjpeg.so", kPlain);
    row("replaced file without suffix", "/LICENSE", "/LICENSE", kPlain);
    row("new file without suffix", "/NOTICE", "/NOTICE", kPlain);
    row("replaced file keeps its mode", "/bin/tool", "/bin/tool", kExecutable);
    row("new executable", "/bin/helper", "/bin/helper", kExecutable);
    row("windows updater in a sub-folder", "/bin/VaDeroru.exe", "/VaDeroru_temp", kExecutable);
    row("updater configuration", "/VaDeroru.exe.config", "/VaDeroru.exe.config", kPlain);
    row("updater manifest", "/VaDeroru.exe.manifest", "/VaDeroru.exe.manifest", kPlain);
    row("document named after the updater", "/docs/VaDeroru.exe-guide.txt",
        "/docs/VaDeroru.exe-guide.txt", kPlain);
    const bool casesApart = platform::fileNameCaseSensitivity() == Qt::CaseSensitive;
    row("updater's name in other letters, which Linux tells apart", "/bin/vaderoru.EXE",
        casesApart ? "/bin/vaderoru.EXE" : "/VaDeroru_temp", kPlain);
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
    QString reason;
    QVERIFY(installer->backUp(reason));
    QVERIFY(installer->install());

    for (QString folder = QFileInfo(target).path(); folder != "/";
         folder = QFileInfo(folder).path())
        expected.insert(folder, "folder");
    QCOMPARE(treeDifference(snapshotTree(app()), expected), QString());

    installer->rollBack();
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
    QCOMPARE(loggedContaining("failure"), 0);
}

void TestPackageInstaller::installsWholePackage_data()
{
    QTest::addColumn<bool>("acrossFileSystems");
    QTest::newRow("renamed on one file system") << false;
    QTest::newRow("copied across file systems") << true;
}

void TestPackageInstaller::installsWholePackage()
{
    QFETCH(bool, acrossFileSystems);
    if (acrossFileSystems && !moveWorkToOtherFileSystem())
        QSKIP("another file system is played by a tmpfs, which only root may mount");
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
        if (entry != "/bin/VaDeroru.exe")
            expected.insert(entry, installedEntry(temp() + entry, app() + entry));
    }

    expected.insert(onSystem("/VaDeroru_temp"), describeEntry(temp() + "/bin/VaDeroru.exe"));
    const QString original = fileIdentity(app() + "/bin/core.dll");
    const QString unpacked = fileIdentity(temp() + "/bin/core.dll");

    auto installer = installerFor(entries);
    QString reason;
    QVERIFY(installer->backUp(reason));
    // Renamed files are the same files: no byte was copied.
    QCOMPARE(fileIdentity(backup() + "/bin/core.dll") == original, !acrossFileSystems);
    QVERIFY(installer->install());
    QCOMPARE(fileIdentity(app() + "/bin/core.dll") == unpacked, !acrossFileSystems);

    for (const QString& folder : QStringList{"/docs/new", "/plugins", "/plugins/a", "/plugins/a/b"})
        expected.insert(folder, "folder");
    QCOMPARE(treeDifference(snapshotTree(app()), expected), QString());

    installer->rollBack();
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
    // Across file systems the copy put back may be given the original's
    // freed inode number, so only the rename is told by identity.
    if (!acrossFileSystems)
        QCOMPARE(fileIdentity(app() + "/bin/core.dll"), original);
    QCOMPARE(loggedContaining("failure"), 0);
}

void TestPackageInstaller::touchesOnlyChangedFiles_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("installed"); // null: no such file
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<bool>("changed");

    const QByteArray large(3 << 20, 'x');
    const QByteArray largeChangedAtEnd = QByteArray(large).replace(large.size() - 1, 1, "y");
    const auto row = [](const char* name, const char* entry, const char* target,
                        const QByteArray& installed, const QByteArray& package, bool changed) {
        QTest::newRow(name) << onSystem(entry) << onSystem(target) << installed << package
                            << changed;
    };
    row("same bytes", "/bin/core.dll", "/bin/core.dll", "old core", "old core", false);
    row("same size, other bytes", "/bin/core.dll", "/bin/core.dll", "old core", "new core", true);
    row("both empty", "/bin/empty", "/bin/empty", "", "", false);
    row("same bytes over several reads", "/big.bin", "/big.bin", large, large, false);
    row("last byte of several reads differs", "/big.bin", "/big.bin", large, largeChangedAtEnd,
        true);
    row("new file", "/bin/new.dll", "/bin/new.dll", QByteArray(), "new", true);
    row("new updater, as the one waiting", "/VaDeroru", "/VaDeroru_temp", "updater", "updater",
        true);
}

// An unchanged file is neither set aside nor replaced: it keeps its inode.
void TestPackageInstaller::touchesOnlyChangedFiles()
{
    QFETCH(QString, entry);
    QFETCH(QString, target);
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, package);
    QFETCH(bool, changed);
    if (!installed.isNull())
        writeFile(app() + target, installed);
    writeFile(temp() + entry, package);
    const QString identity = fileIdentity(app() + target);

    auto installer = installerFor({entry});
    const PreparationResult prepared = installer->prepare();
    QVERIFY2(prepared.ready(), qPrintable(prepared.reason));
    QCOMPARE(installer->fileCount(), changed ? 1 : 0);
    QString reason;
    QVERIFY(installer->backUp(reason));
    QCOMPARE(QFileInfo::exists(backup() + target), changed && !installed.isNull());
    QVERIFY(installer->install());
    QCOMPARE(fileContent(app() + target), package);
    QCOMPARE(fileIdentity(app() + target) == identity, !changed);
}

void TestPackageInstaller::refusedPreparationChangesNothing_data()
{
    QTest::addColumn<QString>("change"); // what, where (below the test's folder), to what
    QTest::addColumn<QString>("entry");  // beside /bin/core.dll; empty: none
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("named"); // below the test's folder

    using Kind = PreparationResult::Kind;
    const auto row = [](const char* name, const char* change, const char* entry, Kind kind,
                        const char* named) {
        QTest::newRow(name) << QString(change) << QString(entry) << int(kind) << QString(named);
    };
    row("a package file is missing", "missing", "/gone.dll", Kind::PackageFileMissing,
        "/temp/gone.dll");
    row("an earlier installation is unfinished", "journal", "", Kind::EarlierInstallationUnfinished,
        "/app/downloads/update/journal");
    row("a link leads out to a set-user-ID file", "link /app/data/link.txt /outside/setuid",
        "/data/link.txt", Kind::TargetOutsideInstallation, "/app/data/link.txt");
    row("a link leads out to nothing yet", "link /app/data/link.txt /outside/none",
        "/data/link.txt", Kind::TargetOutsideInstallation, "/app/data/link.txt");
    row("a linked folder leads out", "link /app/data /outside", "/data/a.txt",
        Kind::TargetOutsideInstallation, "/app/data/a.txt");
    row("config.ini leads out", "link /app/config.ini /outside/setuid", "",
        Kind::TargetOutsideInstallation, "/app/config.ini");
    row("an immutable target", "+i /app/bin/core.dll", "", Kind::TargetNotWritable,
        "/app/bin/core.dll");
    row("an immutable folder gets a file", "+i /app/bin", "/bin/new.dll", Kind::TargetNotWritable,
        "/app/bin");
    row("an append-only folder", "+a /app/bin", "", Kind::TargetNotWritable, "/app/bin");
    row("a new folder below an immutable one", "+i /app/docs", "/docs/new/a.txt",
        Kind::TargetNotWritable, "/app/docs");
    row("an immutable config.ini", "+i /app/config.ini", "", Kind::TargetNotWritable,
        "/app/config.ini");
    row("a config.ini its owner may only read", "owner /app/config.ini", "",
        Kind::TargetNotWritable, "/app/config.ini");
}

// Before anything is stopped, and least of all the backups of an
// unfinished installation, which recovery still needs.
void TestPackageInstaller::refusedPreparationChangesNothing()
{
    QFETCH(QString, change);
    QFETCH(QString, entry);
    QFETCH(int, kind);
    QFETCH(QString, named);
    const QStringList how = change.split(' ');
    const QString where = m_root->path() + how.value(1);
    const bool chattr = how.first().startsWith('+');
    const bool asOwner = how.first() == "owner";
    if ((chattr || asOwner) && !runsAsRoot())
        QSKIP("chattr, and running as the installation's owner, need root");
    writeFile(temp() + "/bin/core.dll", "new core");
    if (how.first() != "missing" && !entry.isEmpty())
        writeFile(temp() + entry, "new " + entry.toUtf8());
    writeFile(backup() + "/bin/core.dll", "an earlier backup");
    makeRefusable(how.first(), where, m_root->path() + how.value(2));
    const auto unset = qScopeGuard([&] {
        if (chattr)
            QProcess::execute("chattr", {"-ia", where});
    });
    if (chattr)
        QCOMPARE(QProcess::execute("chattr", {how.first(), where}), 0);
    const FileTree before = snapshotTree(m_root->path());

    auto installer = installerFor(QStringList{"/bin/core.dll", entry}.filter("/"));
    QVERIFY(!asOwner || actAs(kOtherUser));
    const PreparationResult prepared = installer->prepare();
    QVERIFY(!asOwner || actAsRoot());
    QCOMPARE(int(prepared.kind), kind);
    QCOMPARE(prepared.path, m_root->path() + named);
    QVERIFY2(prepared.reason.contains(prepared.path), qPrintable(prepared.reason));
    QCOMPARE(treeDifference(snapshotTree(m_root->path()), before), QString());
}

// `what` as a row of refusedPreparationChangesNothing names it, at `where`;
// a set-user-ID program of root's lies outside the installation.
void TestPackageInstaller::makeRefusable(const QString& what, const QString& where,
                                         const QString& leadsTo)
{
    if (what == "journal")
        writeFile(app() + "/downloads/update/journal", "{}");
    if (what == "link") {
        const QString program = m_root->path() + "/outside/setuid";
        writeFile(program, "a program run as its owner", kExecutable);
        QVERIFY(setMode(program, 04755));
        QVERIFY(QDir().mkpath(QFileInfo(where).path()));
        QFile::remove(where);
        QVERIFY(QFile::link(leadsTo, where));
    }
    // The installation is another user's, who runs the updater.
    if (what == "owner") {
        QVERIFY(QFile::setPermissions(where, QFile::ReadOwner | QFile::ReadGroup));
        QCOMPARE(QProcess::execute("chown", {"-R", QString("%1:%1").arg(kOtherUser), app()}), 0);
        QVERIFY(QFile::setPermissions(m_root->path(), kExecutable));
    }
}

void TestPackageInstaller::linkIsReplacedAsLink_data()
{
    QTest::addColumn<QString>("leadsTo"); // as the link holds it, from data/
    QTest::newRow("to an executable inside") << "real.txt";
    QTest::newRow("to a set-user-ID program inside") << "../bin/tool";
    QTest::newRow("to nothing, inside") << "missing.txt";
}

// What the link leads to lends the new file nothing and is never written;
// a rollback gives back the link itself, even one that leads nowhere.
void TestPackageInstaller::linkIsReplacedAsLink()
{
    QFETCH(QString, leadsTo);
    const QString link = app() + "/data/link.txt";
    writeFile(app() + "/data/real.txt", "real", kExecutable);
    QVERIFY(setMode(app() + "/bin/tool", 04755));
    QVERIFY(QFile::link(leadsTo, link));
    writeFile(temp() + "/data/link.txt", "new link.txt");
    const QString destination = QFileInfo(link).symLinkTarget();
    const FileTree before = snapshotTree(app());
    FileTree expected = before;
    expected.insert("/data/link.txt", describeEntry(temp() + "/data/link.txt"));

    auto installer = installerFor({"/data/link.txt"});
    const PreparationResult prepared = installer->prepare();
    QVERIFY2(prepared.ready(), qPrintable(prepared.reason));
    QString reason;
    QVERIFY(installer->backUp(reason));
    QVERIFY(installer->install());
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(treeDifference(snapshotTree(app()), expected), QString());

    QVERIFY(installer->rollBack());
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), destination);
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
}

void TestPackageInstaller::oneUpdaterTakesTheSlot_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("updater");
    const auto row = [](const char* name, const QStringList& entries, const char* updater) {
        QTest::newRow(name) << onSystem(entries) << onSystem(updater);
    };
    row("configuration beside it", {"/VaDeroru.exe.config", "/x/VaDeroru.exe"}, "/x/VaDeroru.exe");
    row("nearest the root, listed last", {"/x/VaDeroru.exe", "/VaDeroru.exe"}, "/VaDeroru.exe");
    row("nearest the root, listed first", {"/VaDeroru.exe", "/x/VaDeroru"}, "/VaDeroru.exe");
    row("as deep, the first by path", {"/b/VaDeroru", "/a/VaDeroru.exe"}, "/a/VaDeroru.exe");
    row("a plain file in the slot, nearer the root", {"/VaDeroru_temp", "/x/VaDeroru"},
        "/x/VaDeroru");
}

// Whatever lands as VaDeroru_temp becomes the next updater: only one of the
// updater's copies, the same whatever order the package lists them in.
// Every other entry installs at its own path.
void TestPackageInstaller::oneUpdaterTakesTheSlot()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, updater);
    for (const QString& entry : entries)
        writeFile(temp() + entry, "new " + entry.toUtf8(), kExecutable);

    const QString expected = describeEntry(temp() + updater);
    auto installer = installerFor(entries);
    QString reason;
    QVERIFY(installer->backUp(reason));
    QVERIFY(installer->install());
    QCOMPARE(describeEntry(app() + onSystem("/VaDeroru_temp")), expected);
    QCOMPARE(installer->fileCount(), entries.filter(".config").size() + 1);
    QCOMPARE(QFileInfo::exists(app() + "/VaDeroru.exe.config"),
             entries.contains("/VaDeroru.exe.config"));
}

void TestPackageInstaller::failedInstallRollsBackCompletely_data()
{
    QTest::addColumn<QString>("blocker"); // a folder when it ends in "/", else a file
    QTest::addColumn<QString>("failingEntry");
    QTest::addColumn<QString>("failingTarget");
    QTest::addColumn<int>("position"); // of the failing entry in the list
    QTest::addColumn<bool>("linkedPackageFile");
    QTest::addColumn<bool>("acrossFileSystems");

    const auto row = [](const char* name, const char* blocker, const char* failingEntry,
                        const char* failingTarget, int position, bool linked = false,
                        bool across = false) {
        QTest::newRow(name) << onSystem(blocker) << onSystem(failingEntry)
                            << onSystem(failingTarget) << position << linked << across;
    };
    row("folder where a file goes, first", "/bin/new.dll/", "/bin/new.dll", "/bin/new.dll", 0);
    row("folder where a file goes, last", "/bin/new.dll/", "/bin/new.dll", "/bin/new.dll", 99);
    row("file where a folder goes, in the middle", "/extras", "/extras/x/new.so",
        "/extras/x/new.so", 3);
    row("folder where the new updater goes", "/VaDeroru_temp/", "/bin/VaDeroru.exe",
        "/VaDeroru_temp", 2);
    row("replaced file whose package file is a link", "", "/docs/manual.txt", "/docs/manual.txt", 1,
        true);
    row("replaced file whose copy cannot be made, across file systems",
        "/docs/manual.txt.vaderoru-part/", "/docs/manual.txt", "/docs/manual.txt", 1, false, true);
}

// One target that cannot be written: the failure is logged with both paths,
// the other files are still installed, and the rollback leaves the exact tree
// that was there before, with nothing the package added and the target it
// never wrote not even rewritten (renamed aside, it is renamed back).
void TestPackageInstaller::failedInstallRollsBackCompletely()
{
    QFETCH(QString, blocker);
    QFETCH(QString, failingEntry);
    QFETCH(QString, failingTarget);
    QFETCH(int, position);
    QFETCH(bool, linkedPackageFile);
    QFETCH(bool, acrossFileSystems);
    if (acrossFileSystems && !moveWorkToOtherFileSystem())
        QSKIP("another file system is played by a tmpfs, which only root may mount");

    if (blocker.endsWith('/'))
        writeFile(app() + blocker + "inside.txt", "in the way");
    else if (!blocker.isEmpty())
        writeFile(app() + blocker, "in the way");
    QStringList entries = {"/bin/core.dll", "/bin/tool", "/docs/new/whatsnew.txt", "/LICENSE",
                           "/plugins/a/one.so"};
    // A new updater that the rollback has to take away again.
    if (failingTarget != onSystem("/VaDeroru_temp"))
        entries.append(onSystem("/VaDeroru"));
    entries.insert(qMin(position, entries.size()), failingEntry);
    for (const QString& entry : qAsConst(entries))
        writeFile(temp() + entry, "new " + entry.toUtf8(), kExecutable);
    if (linkedPackageFile) {
        writeFile(m_root->path() + "/outside", "not the package's");
        QVERIFY(QFile::remove(temp() + failingEntry));
        QVERIFY(QFile::link(m_root->path() + "/outside", temp() + failingEntry));
    }
    const FileTree before = snapshotTree(app());
    const QString licence = installedEntry(temp() + "/LICENSE", app() + "/LICENSE");
    const QString plugin = describeEntry(temp() + "/plugins/a/one.so");
    const QString failingIdentity = fileIdentity(app() + failingTarget);

    auto installer = installerFor(entries);
    QString reason;
    QVERIFY(installer->backUp(reason));
    QVERIFY(!installer->install());

    QVERIFY2(loggedContaining(QString("Update install failure: from:%1 to:%2 ")
                                  .arg(temp() + failingEntry, app() + failingTarget)) == 1,
             qPrintable(g_log.join('\n')));
    QCOMPARE(loggedContaining("failure"), 1);
    // The loop went on past the failure.
    QCOMPARE(describeEntry(app() + "/plugins/a/one.so"), plugin);
    QCOMPARE(describeEntry(app() + "/LICENSE"), licence);

    installer->rollBack();
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
    QCOMPARE(loggedContaining("failure"), 1);
    QCOMPARE(fileIdentity(app() + failingTarget), failingIdentity);
}

void TestPackageInstaller::failedBackupIsGivenBack_data()
{
    QTest::addColumn<QString>("blockedBackupPath"); // relative to the backup folder
    QTest::addColumn<QString>("failedTarget");

    QTest::newRow("backup folder is a file") << QString() << QString("/bin/core.dll");
    QTest::newRow("backup sub-folder is a file, after a backup")
        << QString("/docs") << QString("/docs/manual.txt");
}

// What was renamed aside before the failure goes back as the same file.
void TestPackageInstaller::failedBackupIsGivenBack()
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
    const QString core = fileIdentity(app() + "/bin/core.dll");

    auto installer = installerFor(entries);
    QString reason;
    QVERIFY(!installer->backUp(reason));
    QVERIFY2(reason.startsWith(app() + failedTarget + ": "), qPrintable(reason));
    QVERIFY(installer->rollBack());
    QCOMPARE(treeDifference(snapshotTree(app()), before), QString());
    QCOMPARE(fileIdentity(app() + "/bin/core.dll"), core);
}

void TestPackageInstaller::installedFilesBelongToTheInstallation_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("replaces");
    QTest::addColumn<bool>("acrossFileSystems");
    QTest::newRow("new file in new folders") << "/plugins/a/one.so" << false << false;
    QTest::newRow("replaced file") << "/bin/core.dll" << true << false;
    QTest::newRow("replaced file, across file systems") << "/bin/core.dll" << true << true;
}

// An updater run as root in a user's installation leaves it the user's: the
// folders it makes and the new files in them belong to the folder's owner,
// a replaced file keeps its owner and mode.
void TestPackageInstaller::installedFilesBelongToTheInstallation()
{
    QFETCH(QString, entry);
    QFETCH(bool, replaces);
    QFETCH(bool, acrossFileSystems);
    if (!runsAsRoot() || (acrossFileSystems && !moveWorkToOtherFileSystem()))
        QSKIP("giving files to another user and mounting a tmpfs need root");
    QVERIFY(giveTo(app(), 65534));
    if (replaces)
        QVERIFY(giveTo(app() + entry, 65533));
    writeFile(temp() + entry, "new one", kExecutable);
    const QString mode =
        describeEntry(replaces ? app() + entry : temp() + entry).section(' ', 1, 1);

    auto installer = installerFor({entry});
    QString reason;
    QVERIFY(installer->backUp(reason));
    QVERIFY(installer->install());
    QCOMPARE(ownerOf(app() + entry), QString(replaces ? "65533:65533" : "65534:65534"));
    QCOMPARE(describeEntry(app() + entry).section(' ', 1, 1), mode);
    const QStringList made = replaces ? QStringList() : QStringList{"/plugins", "/plugins/a"};
    for (const QString& folder : made)
        QCOMPARE(ownerOf(app() + folder), QString("65534:65534"));
}

QTEST_GUILESS_MAIN(TestPackageInstaller)
#include "tst_packageinstaller.moc"
