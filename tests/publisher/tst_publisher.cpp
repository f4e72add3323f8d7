#include "delta/DeltaApplier.h"
#include "delta/DeltaManifest.h"
#include "download/ExtractZip.h"
#include "support/FileTree.h"
#include "support/TempInstallation.h"
#include "trust/ReleaseVerifier.h"
#include "trust/SignedEnvelope.h"
#include "trust/SigningKey.h"
#include "trust/TrustRoot.h"

#include <QStandardPaths>
#include <QtEndian>
#include <QtTest>

namespace {

template <typename T> T field(const QByteArray& bytes, qint64 offset)
{
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

// Bit 11 in every central header and in the local header it points to.
bool namesFlaggedUtf8(const QByteArray& zip)
{
    const int end = zip.size() - 22; // the end record; packages carry no zip comment
    qint64 at = field<quint32>(zip, end + 16);
    const int entries = field<quint16>(zip, end + 10);
    for (int i = 0; i < entries; ++i) {
        const qint64 local = field<quint32>(zip, at + 42);
        if (!(field<quint16>(zip, at + 8) & 0x0800) || !(field<quint16>(zip, local + 6) & 0x0800))
            return false;
        at += 46 + field<quint16>(zip, at + 28) + field<quint16>(zip, at + 30) +
              field<quint16>(zip, at + 32);
    }
    return entries > 0;
}

// Bytes that do not compress, the same on every run.
QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = char(seed >> 24);
    }
    return bytes;
}

bool readRoot(const QString& path, SignedEnvelope& envelope, TrustRoot& root)
{
    QString errorText;
    return SignedEnvelope::readFile(path, envelope, errorText) &&
           ReleaseVerifier::readPinnedRoot(envelope, root).passed();
}

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keygenKeepsKeysPrivate_data();
    void keygenKeepsKeysPrivate();
    void packageIsReproducible_data();
    void packageIsReproducible();
    void packageUnzipsToTheSameTree();
    void packageRefusesLeavingTargetAlone_data();
    void packageRefusesLeavingTargetAlone();
    void verify_data();
    void verify();
    void nextRoot_data();
    void nextRoot();
    void wrongCommandLine_data();
    void wrongCommandLine();
    void deltaApplies_data();
    void deltaApplies();
    void deltaManifestRefused_data();
    void deltaManifestRefused();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    // Words of `commandLine` starting with '@' name files in the test folder.
    ProcessResult publish(const QString& commandLine, const QString& timeZone = "UTC0") const;

    TempInstallation m_dir;
};

ProcessResult TestPublisher::publish(const QString& commandLine, const QString& timeZone) const
{
    QStringList arguments;
    for (const QString& word : commandLine.split(' ', Qt::SkipEmptyParts))
        arguments << (word.startsWith('@') ? path(word.mid(1)) : word);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", timeZone);
    return runProcess(PUBLISH_EXE, arguments, environment);
}

void TestPublisher::initTestCase()
{
    m_dir.writeFile("app/bin/run.sh", "#!/bin/sh\necho ok\n");
    QVERIFY(QFile::setPermissions(path("app/bin/run.sh"), QFile::ReadOwner | QFile::WriteOwner |
                                                              QFile::ExeOwner | QFile::ExeOther));
    m_dir.writeFile(QString::fromUtf8("app/Daten/Übersicht✓.txt"), QByteArray(5000, 'x'));
    m_dir.writeFile("app/.config", "hidden");
    const QStringList commandLines{
        "keygen @root1",
        "keygen @root2",
        "keygen @other",
        "keygen @release",
        "root --version 1 --expires-days 30 --root-key @root1.key --release-pub @release.pub "
        "-o @root1.json",
        "root --version 1 --expires-days 30 --root-key @other.key --release-pub @other.pub "
        "-o @other.json",
        "package @app -o @app.zip",
        "release --key @release.key --package @app.zip --software-root DemoApp --version-type "
        "general --version 2.0.0 --serial 3 --expires-days 7 -o @release.json"};
    for (const QString& commandLine : commandLines)
        QVERIFY2(publish(commandLine).exitCode == 0, qPrintable(commandLine));

    const QByteArray package = m_dir.readFile("app.zip");
    m_dir.writeFile("renamed.zip", package);
    m_dir.writeFile("short/app.zip", package.chopped(1));
    QByteArray changed = package;
    changed[changed.size() / 2] = char(changed.at(changed.size() / 2) ^ 1);
    m_dir.writeFile("changed/app.zip", changed);
    SignedEnvelope release;
    QString errorText;
    QVERIFY(SignedEnvelope::readFile(path("release.json"), release, errorText));
    release.payload.replace("2.0.0", "2.0.1");
    QVERIFY(release.writeFile(path("edited.json"), errorText));
}

void TestPublisher::keygenKeepsKeysPrivate_data()
{
    QTest::addColumn<QString>("existing");
    QTest::newRow("new name") << QString();
    QTest::newRow("private key exists") << ".key";
    QTest::newRow("public key exists") << ".pub";
}

void TestPublisher::keygenKeepsKeysPrivate()
{
    QFETCH(QString, existing);
    const QString name = QString("keygen-%1").arg(existing.mid(1));
    if (!existing.isEmpty())
        m_dir.writeFile(name + existing, "kept\n");
    QCOMPARE(publish("keygen @" + name).exitCode, existing.isEmpty() ? 0 : 1);
    if (!existing.isEmpty()) {
        QCOMPARE(m_dir.readFile(name + existing), QByteArray("kept\n"));
        QCOMPARE(QDir(m_dir.path()).entryList({name + ".*"}).size(), 1);
        return;
    }
#ifndef _WIN32 // no modes there: the folder's access list keeps the key private
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFile::permissions(path(name + ".key")) & others, QFile::Permissions());
#endif
    SigningKey key;
    QVERIFY(SigningKey::fromSeedBase64(m_dir.readFile(name + ".key"), key));
    QCOMPARE(key.publicKey().toBase64(), QString(m_dir.readFile(name + ".pub").trimmed()));
}

void TestPublisher::packageIsReproducible_data()
{
    QTest::addColumn<QString>("secondZone");
    QTest::newRow("same time zone") << "UTC0";
    QTest::newRow("other time zone") << "XYZ-9";
}

void TestPublisher::packageIsReproducible()
{
    QFETCH(QString, secondZone);
    QCOMPARE(publish("package @app -o @first.zip").exitCode, 0);
    QDirIterator it(path("app"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile touched(it.next());
        QVERIFY(touched.open(QIODevice::ReadOnly));
        QVERIFY(touched.setFileTime(QDateTime(QDate(2001, 2, 3), QTime(4, 5, 7)),
                                    QFileDevice::FileModificationTime));
    }
    QCOMPARE(publish("package @app -o @second.zip", secondZone).exitCode, 0);
    QCOMPARE(m_dir.readFile("second.zip"), m_dir.readFile("first.zip"));
}

void TestPublisher::packageUnzipsToTheSameTree()
{
    if (QStandardPaths::findExecutable("unzip").isEmpty())
        QSKIP("the unzip tool is not installed");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C.UTF-8");
    const QStringList arguments{"-q", path("app.zip"), "-d", path("unzipped")};
    QCOMPARE(runProcess("unzip", arguments, environment).exitCode, 0);
    QCOMPARE(treeDifference(snapshotTree(path("unzipped")), snapshotTree(path("app"))), QString());
    QVERIFY(namesFlaggedUtf8(m_dir.readFile("app.zip")));
}

void TestPublisher::packageRefusesLeavingTargetAlone_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("output");
    QTest::newRow("symbolic link") << QString("linked") << QString("refused/linked.zip");
    QTest::newRow("package inside the folder") << QString("app") << QString("app/old.zip");
}

void TestPublisher::packageRefusesLeavingTargetAlone()
{
    QFETCH(QString, folder);
    QFETCH(QString, output);
#ifdef _WIN32
    if (folder == "linked")
        QSKIP("QFile::link makes a shortcut on Windows, not a symbolic link");
#endif
    m_dir.writeFile("linked/file.txt", "f");
    QFile::link("file.txt", path("linked/link.txt"));
    m_dir.writeFile(output, "old package");
    QCOMPARE(publish(QString("package @%1 -o @%2").arg(folder, output)).exitCode, 1);
    QCOMPARE(m_dir.readFile(output), QByteArray("old package"));
    QFile::remove(path(output));
    QCOMPARE(QDir(QFileInfo(path(output)).path()).entryList({"*.zip*"}), QStringList());
}

void TestPublisher::verify_data()
{
    QTest::addColumn<QString>("files");
    QTest::addColumn<QString>("expected");
    QTest::newRow("good") << "@root1.json @release.json --package @app.zip"
                          << "release DemoApp/general 2.0.0 serial 3: all checks passed";
    QTest::newRow("package byte changed") << "@root1.json @release.json --package @changed/app.zip"
                                          << "package hash: ";
    QTest::newRow("package cut short") << "@root1.json @release.json --package @short/app.zip"
                                       << "package length: ";
    QTest::newRow("package renamed") << "@root1.json @release.json --package @renamed.zip"
                                     << "package name: ";
    QTest::newRow("another root") << "@other.json @release.json --package @app.zip"
                                  << "release signature: ";
    QTest::newRow("release edited") << "@root1.json @edited.json --package @app.zip"
                                    << "release signature: ";
}

void TestPublisher::verify()
{
    QFETCH(QString, files);
    QFETCH(QString, expected);
    const ProcessResult result = publish("verify --root " + files);
    QCOMPARE(result.exitCode, QTest::currentDataTag() == QByteArray("good") ? 0 : 1);
    QVERIFY2((result.standardOutput + result.standardError).contains(expected.toUtf8()),
             result.standardError);
}

void TestPublisher::nextRoot_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("rootKeys");
    QTest::newRow("signed by the previous root")
        << "--root-key @root2.key --previous-root-key @root1.key" << true << 1;
    QTest::newRow("not signed by the previous root") << "--root-key @root2.key" << false << 1;
    QTest::newRow("root keys listed")
        << "--root-key @root2.key @other.key --previous-root-key @root1.key" << true << 2;
    QTest::newRow("root keys repeated")
        << "--root-key @root2.key --previous-root-key @root1.key --root-key @other.key" << true
        << 2;
}

void TestPublisher::nextRoot()
{
    QFETCH(QString, keys);
    QFETCH(bool, accepted);
    QFETCH(int, rootKeys);
    const QString makeRoot2 =
        "root --version 2 --expires-days 30 --release-pub @release.pub -o @root2.json ";
    QCOMPARE(publish(makeRoot2 + keys).exitCode, 0);
    SignedEnvelope current;
    SignedEnvelope candidate;
    TrustRoot root1;
    TrustRoot root2;
    QVERIFY(readRoot(path("root1.json"), current, root1));
    QVERIFY(readRoot(path("root2.json"), candidate, root2));
    QCOMPARE(root2.rootKeys.size(), rootKeys);
    QCOMPARE(candidate.signatures.size(), rootKeys + (accepted ? 1 : 0));
    QCOMPARE(ReleaseVerifier::readNextRoot(root1, candidate, root2).passed(), accepted);
}

void TestPublisher::wrongCommandLine_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::newRow("no command") << "";
    QTest::newRow("unknown command") << "sign";
    QTest::newRow("no output") << "package app";
    QTest::newRow("output twice") << "package app -o a.zip -o b.zip";
    QTest::newRow("no root key value")
        << "root --version 1 --expires-days 1 --root-key --release-pub r.pub -o root.json";
    QTest::newRow("zero days")
        << "root --version 1 --expires-days 0 --root-key a.key --release-pub r.pub -o root.json";
    QTest::newRow("option of another command") << "verify --root root.json release.json --serial 3";
    QTest::newRow("earlier package without version")
        << "delta --package n.zip --version 2.0 --from old.zip --output-dir d";
    QTest::newRow("level above 22")
        << "delta --package n.zip --version 2.0 --from 1.0=old.zip --output-dir d --level 23";
}

void TestPublisher::wrongCommandLine()
{
    QFETCH(QString, commandLine);
    const ProcessResult result = publish(commandLine);
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.standardError.contains("--help"), result.standardError);
}

// One delta from a tree with a file that stays, one changed a little (a
// patch), one changed all through (whole) and one added, applied to
// installations spoilt in one place each.
void TestPublisher::deltaApplies_data()
{
    using Kind = DeltaResult::Kind;
    QTest::addColumn<QString>("spoilt");
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("file");
    QTest::newRow("round trip") << QString() << QString() << int(Kind::Applied) << QString();
    QTest::newRow("installed file changed")
        << "install/lib/core.bin"
        << "flip" << int(Kind::InstalledFileChanged) << "lib/core.bin";
    QTest::newRow("installed file is a link out")
        << "install/lib/core.bin"
        << "link" << int(Kind::PathRefused) << "lib/core.bin";
    QTest::newRow("patch corrupted") << "delta/patches/lib/core.bin.zst"
                                     << "flip" << int(Kind::BadPatch) << "lib/core.bin";
    QTest::newRow("patch missing") << "delta/patches/lib/core.bin.zst"
                                   << "remove" << int(Kind::BadPatch) << "lib/core.bin";
    QTest::newRow("whole file corrupted") << "delta/files/lib/table.dat"
                                          << "flip" << int(Kind::Damaged) << "lib/table.dat";
}

void TestPublisher::deltaApplies()
{
    QFETCH(QString, spoilt);
    QFETCH(QString, how);
    QFETCH(int, kind);
    QFETCH(QString, file);
#ifdef _WIN32
    if (how == "link")
        QSKIP("QFile::link makes a shortcut on Windows, not a symbolic link");
#endif
    if (!QFile::exists(path("delta-new.zip"))) {
        const QByteArray core = noise(300000, 1);
        m_dir.writeFile("old/same.txt", "stays");
        m_dir.writeFile("old/lib/core.bin", core);
        m_dir.writeFile("old/lib/table.dat", noise(4000, 2));
        m_dir.writeFile("new/same.txt", "stays");
        m_dir.writeFile("new/lib/core.bin", core.left(1000) + "changed" + core.mid(1000));
        m_dir.writeFile("new/lib/table.dat", noise(4000, 3));
        m_dir.writeFile(QString::fromUtf8("new/doc/Übersicht.txt"), "added");
        QCOMPARE(publish("package @old -o @delta-old.zip").exitCode, 0);
        QCOMPARE(publish("package @new -o @delta-new.zip").exitCode, 0);
    }
    const QString row = QString(QTest::currentDataTag()).replace(' ', '-');
    const ProcessResult made = publish(QString("delta --package @delta-new.zip --version 2.0 "
                                               "--from 1.0=%1 --output-dir @%2")
                                           .arg(path("delta-old.zip"), row));
    QCOMPARE(made.exitCode, 0);
    QVERIFY2(made.standardError.contains("1 files unchanged, 1 patched"), made.standardError);
    const QJsonObject line = QJsonDocument::fromJson(made.standardOutput).object();
    const QString zip = QString("%1/%2").arg(row, line.value("name").toString());
    QCOMPARE(zip, row + "/delta-new-from-1.0.delta.zip");
    QCOMPARE(
        QString(QCryptographicHash::hash(m_dir.readFile(zip), QCryptographicHash::Sha256).toHex()),
        line.value("sha256").toString());
    QVERIFY(extractZip(path(zip), path(row + "/delta")));
    QVERIFY(extractZip(path("delta-old.zip"), path(row + "/install")));
    const QString spoiltPath = path(row + '/' + spoilt);
    QByteArray bytes = m_dir.readFile(row + '/' + spoilt);
    if (how == "flip") {
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x40);
        m_dir.writeFile(row + '/' + spoilt, bytes);
    } else if (!how.isEmpty()) {
        QVERIFY(QFile::remove(spoiltPath));
        if (how == "link")
            QVERIFY(QFile::link(path("old/lib/core.bin"), spoiltPath));
    }
    DeltaApplier applier(path(row + "/delta"), path(row + "/install"), path(row + "/unpacked"));
    const DeltaResult result = applier.apply();
    QVERIFY2(int(result.kind) == kind, qPrintable(result.reason));
    if (result.applied())
        QCOMPARE(treeDifference(snapshotTree(path(row + "/unpacked")),
                                snapshotTree(path("new"), {"same.txt"})),
                 QString());
    QCOMPARE(result.path, file);
}

void TestPublisher::deltaManifestRefused_data()
{
    const QString digest(64, 'a');
    const QString file =
        QString(R"({"path": "%1", "method": "%2", "before": "%3", "after": "%3", "size": 1})");
    QTest::addColumn<QString>("files");
    QTest::addColumn<bool>("read");
    QTest::newRow("patch and whole")
        << file.arg("a/b", "patch", digest) + ", " +
               file.arg("c", "whole", digest).remove(QRegularExpression(R"("before": "a+", )"))
        << true;
    QTest::newRow("parent folder") << file.arg("../x", "patch", digest) << false;
    QTest::newRow("absolute") << file.arg("/etc/x", "patch", digest) << false;
    QTest::newRow("backslash") << file.arg("a\\\\b", "patch", digest) << false;
    QTest::newRow("listed twice") << file.arg("a", "patch", digest) + ", " +
                                         file.arg("A", "patch", digest)
                                  << false;
    QTest::newRow("upper-case digest") << file.arg("a", "patch", digest.toUpper()) << false;
    QTest::newRow("unknown method") << file.arg("a", "bsdiff", digest) << false;
}

void TestPublisher::deltaManifestRefused()
{
    QFETCH(QString, files);
    QFETCH(bool, read);
    const QString json =
        QString(R"({"format": 1, "fromVersion": "1.0", "toVersion": "2.0", "files": [%1]})")
            .arg(files);
    DeltaManifest manifest;
    QString errorText;
    QVERIFY2(DeltaManifest::fromJson(json.toUtf8(), manifest, errorText) == read,
             qPrintable(errorText + json));
    if (read)
        QCOMPARE(DeltaManifest::fromJson(manifest.toJson(), manifest, errorText), true);
}

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
