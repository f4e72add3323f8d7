#include "download/ProgressDialog.h"

#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestProgressDialog : public QObject
{
    Q_OBJECT

private slots:
    void fixedSettings();
    void title_data();
    void title();
    void networkReplyProgress_data();
    void networkReplyProgress();
    void cancelButtonEmitsCanceled();
};

void TestProgressDialog::fixedSettings()
{
    ProgressDialog dialog(QString(), QStringLiteral("Fetching"), nullptr);
    QCOMPARE(dialog.styleSheet(),
             QStringLiteral("QProgressBar{ color:rgb(0,0,0); border-radius: 10px; \t\tbackground: "
                            "rgb(245, 245, 245);}\t\tQProgressBar::chunk {border-radius: "
                            "10px;\t\tbackground: rgb(0, 160, 230);}"));
    QCOMPARE(dialog.minimumSize(), QSize(300, 100));
    QCOMPARE(dialog.maximumSize(), QSize(300, 100));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(dialog.labelText(), QStringLiteral("Fetching"));
    QCOMPARE(dialog.minimum(), 0);
    QCOMPARE(dialog.value(), 0);
    QCOMPARE(dialog.minimumDuration(), 0);
    auto* button = dialog.findChild<QPushButton*>();
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("Cancel"));
    QCOMPARE(button->property("BTN_TYPE").toString(), QStringLiteral("WARNING"));
}

void TestProgressDialog::title_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("expected");
    QTest::newRow("default") << QString() << "Download progress";
    QTest::newRow("given") << "Package"
                           << "Package";
}

void TestProgressDialog::title()
{
    QFETCH(QString, title);
    QFETCH(QString, expected);
    ProgressDialog dialog(title, QString(), nullptr);
    QCOMPARE(dialog.windowTitle(), expected);
}

void TestProgressDialog::networkReplyProgress_data()
{
    QTest::addColumn<qint64>("bytesRead");
    QTest::addColumn<qint64>("totalBytes");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QString>("text");

    QTest::newRow("half") << qint64(500) << qint64(1000) << 500 << 1000 << "50%";
    QTest::newRow("beyond 32 bits")
        << (Q_INT64_C(1) << 32) + 5 << (Q_INT64_C(1) << 32) + 10 << 5 << 10 << "50%";
    QTest::newRow("low bits negative")
        << qint64(1000) << qint64(3000000000) << 1000
        << int(qint64(3000000000) - (Q_INT64_C(1) << 32)) << QString();
    QTest::newRow("unknown total") << qint64(0) << qint64(-1) << 0 << -1 << QString();
}

void TestProgressDialog::networkReplyProgress()
{
    QFETCH(qint64, bytesRead);
    QFETCH(qint64, totalBytes);
    QFETCH(int, value);
    QFETCH(int, maximum);
    QFETCH(QString, text);
    ProgressDialog dialog(QString(), QString(), nullptr);
    dialog.networkReplyProgress(bytesRead, totalBytes);
    QCOMPARE(dialog.maximum(), maximum);
    if (maximum >= 0)
        QCOMPARE(dialog.value(), value);
    if (!text.isEmpty())
        QCOMPARE(dialog.findChild<QProgressBar*>()->text(), text);
}

void TestProgressDialog::cancelButtonEmitsCanceled()
{
    ProgressDialog dialog(QString(), QString(), nullptr);
    QSignalSpy canceled(&dialog, &QProgressDialog::canceled);
    dialog.show();
    QTest::mouseClick(dialog.findChild<QPushButton*>(), Qt::LeftButton);
    QCOMPARE(canceled.count(), 1);
}

QTEST_MAIN(TestProgressDialog)
#include "tst_progressdialog.moc"
