#include "demo/UpdaterReplacement.h"
#include "support/FileTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(UpdaterReplacement::Outcome)

namespace {

// A null content means "no such file".
void writeFile(const QString& path, const QByteArray& content, bool executable)
{
    if (content.isNull())
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const QFileDevice::Permissions readWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadUser | QFileDevice::WriteUser |
                                               QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QVERIFY(file.setPermissions(executable
                                    ? readWrite | QFileDevice::ExeOwner | QFileDevice::ExeUser |
                                          QFileDevice::ExeGroup | QFileDevice::ExeOther
                                    : readWrite));
}

} // namespace

class TestUpdaterReplacement : public QObject
{
    Q_OBJECT

private slots:
    void complete_data();
    void complete();
    void replacesRunningUpdater();
    void failureLeavesBothFiles();
};

void TestUpdaterReplacement::complete_data()
{
    QTest::addColumn<QByteArray>("updater");
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<bool>("pendingExecutable");
    QTest::addColumn<UpdaterReplacement::Outcome>("outcome");
    QTest::addColumn<QByteArray>("updaterAfter");

    const QByteArray none;
    const QByteArray oldUpdater("old updater");
    const QByteArray newUpdater("new updater");
    using Outcome = UpdaterReplacement::Outcome;
    // As unpacked from a package: no file modes, so no executable bit.
    QTest::newRow("pending without exec bit")
        << oldUpdater << newUpdater << false << Outcome::Replaced << newUpdater;
    QTest::newRow("pending with exec bit")
        << oldUpdater << newUpdater << true << Outcome::Replaced << newUpdater;
    QTest::newRow("nothing pending")
        << oldUpdater << none << false << Outcome::NothingPending << oldUpdater;
    QTest::newRow("no updater yet")
        << none << newUpdater << false << Outcome::Replaced << newUpdater;
    QTest::newRow("empty pending file")
        << oldUpdater << QByteArray("") << false << Outcome::Replaced << QByteArray("");
}

void TestUpdaterReplacement::complete()
{
    QFETCH(QByteArray, updater);
    QFETCH(QByteArray, pending);
    QFETCH(bool, pendingExecutable);
    QFETCH(UpdaterReplacement::Outcome, outcome);
    QFETCH(QByteArray, updaterAfter);

    QTemporaryDir dir;
    const UpdaterReplacement replacement(dir.path());
    writeFile(replacement.updaterPath(), updater, true);
    writeFile(replacement.pendingPath(), pending, pendingExecutable);

    QString errorText;
    QCOMPARE(replacement.complete(errorText), outcome);
    QVERIFY2(errorText.isEmpty(), qPrintable(errorText));
    QCOMPARE(fileContent(replacement.updaterPath()), updaterAfter);
    QVERIFY(QFileInfo(replacement.updaterPath()).isExecutable());
    QVERIFY(!QFileInfo::exists(replacement.pendingPath()));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
             QStringList{QFileInfo(replacement.updaterPath()).fileName()});
}

// The old updater may still be on its way out when the main program starts.
void TestUpdaterReplacement::replacesRunningUpdater()
{
#ifdef Q_OS_WIN
    QSKIP("Windows refuses to replace a running program");
#endif
    QTemporaryDir dir;
    const UpdaterReplacement replacement(dir.path());
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), replacement.updaterPath()));
    const QByteArray newUpdater = fileContent(QStringLiteral("/bin/true"));
    writeFile(replacement.pendingPath(), newUpdater, false);

    QProcess running;
    running.start(replacement.updaterPath(), {QStringLiteral("30")});
    QVERIFY(running.waitForStarted());

    QString errorText;
    QCOMPARE(replacement.complete(errorText), UpdaterReplacement::Outcome::Replaced);
    QCOMPARE(fileContent(replacement.updaterPath()), newUpdater);
    QVERIFY(!QFileInfo::exists(replacement.pendingPath()));
    QCOMPARE(QProcess::execute(replacement.updaterPath(), {}), 0);

    running.kill();
    running.waitForFinished();
}

void TestUpdaterReplacement::failureLeavesBothFiles()
{
    QTemporaryDir dir;
    const UpdaterReplacement replacement(dir.path());
    // A folder in the updater's place cannot be renamed over.
    QVERIFY(QDir().mkpath(replacement.updaterPath() + QStringLiteral("/inside")));
    writeFile(replacement.pendingPath(), "new updater", false);

    QString errorText;
    QCOMPARE(replacement.complete(errorText), UpdaterReplacement::Outcome::Failed);
    QVERIFY(errorText.contains(replacement.pendingPath()));
    QVERIFY(QFileInfo(replacement.updaterPath() + QStringLiteral("/inside")).isDir());
    QCOMPARE(fileContent(replacement.pendingPath()), QByteArray("new updater"));
}

QTEST_GUILESS_MAIN(TestUpdaterReplacement)
#include "tst_updaterreplacement.moc"
