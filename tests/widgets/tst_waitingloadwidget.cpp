// The busy indicator: its colour ramp, its clock and how it ends.
//
// Ticks are driven by delivering the animation timer's own timer event, which
// is what the event dispatcher does when the interval has passed; the 30 s the
// self-hide takes in real time are not waited for.

#include "widgets/WaitingLoadWidget.h"

#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QtTest>

class WaitingLoadWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void instanceIsOneObject();
    void makeGradient_data();
    void makeGradient();
    void gradientEmptiesTheListFirst();
    void selfHidesAfterThe301stTick();
    void showingAgainRestartsTheCount();
    void closeStopsTheClock();
    void escapeKeepsItOpen();
    void ringTurnsOneDotPerTick();

private:
    static QTimer* clock(WaitingLoadWidget* widget);
    static void tick(WaitingLoadWidget* widget, int times = 1);
};

QTimer* WaitingLoadWidgetTest::clock(WaitingLoadWidget* widget)
{
    return widget->findChild<QTimer*>();
}

void WaitingLoadWidgetTest::tick(WaitingLoadWidget* widget, int times)
{
    QTimer* timer = clock(widget);
    for (int i = 0; i < times; ++i) {
        QTimerEvent event(timer->timerId());
        QCoreApplication::sendEvent(timer, &event);
    }
}

void WaitingLoadWidgetTest::cleanup()
{
    WaitingLoadWidget::instance()->hide();
}

void WaitingLoadWidgetTest::instanceIsOneObject()
{
    WaitingLoadWidget* first = WaitingLoadWidget::instance();
    QCOMPARE(WaitingLoadWidget::instance(), first);
    QVERIFY(!first->isVisible());
    QCOMPARE(first->objectName(), QStringLiteral("WaitingLoadWidget"));
    QCOMPARE(first->size(), QSize(200, 100));

    // A destroyed indicator is replaced, not handed out again.
    QPointer<WaitingLoadWidget> destroyed = first;
    delete first;
    QVERIFY(destroyed.isNull());
    QVERIFY(WaitingLoadWidget::instance() != nullptr);
    QCOMPARE(WaitingLoadWidget::instance(), WaitingLoadWidget::instance());
}

void WaitingLoadWidgetTest::makeGradient_data()
{
    QTest::addColumn<QColor>("start");
    QTest::addColumn<QColor>("end");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("index");
    QTest::addColumn<QColor>("expected");
    const QColor cyan(187, 255, 255);
    const QColor green(46, 139, 87);
    QTest::newRow("first is the start") << cyan << green << 12 << 0 << QColor(187, 255, 255);
    QTest::newRow("second") << cyan << green << 12 << 1 << QColor(176, 246, 241);
    QTest::newRow("third") << cyan << green << 12 << 2 << QColor(164, 236, 227);
    QTest::newRow("last stops short of the end")
        << cyan << green << 12 << 11 << QColor(58, 149, 101);
    // 10 + (1 * -10) / 3 truncates toward zero to 7; rounding down would give 6.
    QTest::newRow("falling channel truncates toward zero")
        << QColor(10, 10, 10) << QColor(0, 0, 0) << 3 << 1 << QColor(7, 7, 7);
    QTest::newRow("alpha is opaque")
        << QColor(0, 0, 0, 10) << QColor(30, 30, 30, 10) << 3 << 2 << QColor(20, 20, 20, 255);
}

void WaitingLoadWidgetTest::makeGradient()
{
    QFETCH(QColor, start);
    QFETCH(QColor, end);
    QFETCH(int, count);
    QFETCH(int, index);
    QFETCH(QColor, expected);
    QVector<QColor> colors;
    WaitingLoadWidget::instance()->makeGradient(start, end, colors, count);
    QCOMPARE(colors.size(), count);
    QCOMPARE(colors.at(index), expected);
}

void WaitingLoadWidgetTest::gradientEmptiesTheListFirst()
{
    QVector<QColor> colors(5, Qt::red);
    WaitingLoadWidget::instance()->makeGradient(Qt::black, Qt::white, colors, 2);
    QCOMPARE(colors.size(), 2);
    WaitingLoadWidget::instance()->makeGradient(Qt::black, Qt::white, colors, 0);
    QVERIFY(colors.isEmpty());
    WaitingLoadWidget::instance()->makeGradient(Qt::black, Qt::white, colors, -3);
    QVERIFY(colors.isEmpty());
}

void WaitingLoadWidgetTest::selfHidesAfterThe301stTick()
{
    WaitingLoadWidget* widget = WaitingLoadWidget::instance();
    widget->show();
    QVERIFY(clock(widget)->isActive());
    QCOMPARE(clock(widget)->interval(), 100);
    tick(widget, 300);
    QVERIFY(widget->isVisible());
    tick(widget);
    QVERIFY(!widget->isVisible());
    QVERIFY(!clock(widget)->isActive());
}

void WaitingLoadWidgetTest::showingAgainRestartsTheCount()
{
    WaitingLoadWidget* widget = WaitingLoadWidget::instance();
    widget->show();
    tick(widget, 200);
    widget->close();
    widget->show();
    tick(widget, 300);
    QVERIFY(widget->isVisible());
    tick(widget);
    QVERIFY(!widget->isVisible());
}

void WaitingLoadWidgetTest::closeStopsTheClock()
{
    WaitingLoadWidget* widget = WaitingLoadWidget::instance();
    widget->show();
    QVERIFY(widget->close());
    QVERIFY(!widget->isVisible());
    QVERIFY(!clock(widget)->isActive());
}

void WaitingLoadWidgetTest::escapeKeepsItOpen()
{
    WaitingLoadWidget* widget = WaitingLoadWidget::instance();
    widget->show();
    QTest::keyClick(widget, Qt::Key_Escape);
    QVERIFY(widget->isVisible());
    QVERIFY(clock(widget)->isActive());
}

void WaitingLoadWidgetTest::ringTurnsOneDotPerTick()
{
    WaitingLoadWidget* widget = WaitingLoadWidget::instance();
    widget->show();
    const QImage before = widget->grab().toImage();
    tick(widget);
    QVERIFY(widget->grab().toImage() != before);
    // Twelve steps make a full turn.
    tick(widget, 11);
    QCOMPARE(widget->grab().toImage(), before);
}

QTEST_MAIN(WaitingLoadWidgetTest)
#include "tst_waitingloadwidget.moc"
