#include <QtTest>

#include "update/Update.h"

class TestFormatSize : public QObject
{
    Q_OBJECT

private slots:
    void writesSize_data();
    void writesSize();
};

void TestFormatSize::writesSize_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("text");

    QTest::newRow("nothing") << Q_INT64_C(0) << "0.00 bytes";
    QTest::newRow("largest byte count") << Q_INT64_C(1023) << "1023.00 bytes";
    QTest::newRow("one KB") << Q_INT64_C(1024) << "1.00 KB";
    QTest::newRow("one and a half KB") << Q_INT64_C(1536) << "1.50 KB";
    // 1023.999... KB rounds up in the text but is not promoted to MB.
    QTest::newRow("just below one MB") << Q_INT64_C(1048575) << "1024.00 KB";
    QTest::newRow("one MB") << Q_INT64_C(1048576) << "1.00 MB";
    QTest::newRow("odd MB") << Q_INT64_C(123456789) << "117.74 MB";
    QTest::newRow("five GB, beyond 32 bits") << Q_INT64_C(5368709120) << "5.00 GB";
    QTest::newRow("no unit beyond TB") << Q_INT64_C(1125899906842624) << "1024.00 TB";
    // What a download without a known length reports as its total.
    QTest::newRow("unknown") << Q_INT64_C(-1) << "-1.00 bytes";
}

void TestFormatSize::writesSize()
{
    QFETCH(qint64, size);
    QFETCH(QString, text);
    QCOMPARE(formatSize(size), text);
}

QTEST_APPLESS_MAIN(TestFormatSize)
#include "tst_formatsize.moc"
