#include <QApplication>
#include <QFontInfo>
#include <QGlyphRun>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTextLayout>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "widgets/AlignToWindow.h"
#include "widgets/FontSubstitutions.h"
#include "widgets/MessageBoxDlg.h"

namespace {

using BoxAction = std::function<void(MessageBoxDlg*)>;

// Runs `action` on the topmost message box once it is inside exec() and has
// become the active window (shortcuts only work there). Gives up
// after a bounded number of event-loop turns so a box that never opens cannot
// leave the poll running into later tests.
void whenBoxOpen(BoxAction action, int turnsLeft = 1000)
{
    QTimer::singleShot(0, [action, turnsLeft] {
        auto* box = qobject_cast<MessageBoxDlg*>(QApplication::activeModalWidget());
        if (box && box->isVisible() && QApplication::activeWindow() == box) {
            action(box);
        } else if (turnsLeft > 0) {
            whenBoxOpen(action, turnsLeft - 1);
        } else if (box) {
            qWarning("message box never became active; closing it");
            box->reject();
        }
    });
}

QPushButton* button(QWidget* box, const char* name)
{
    return box->findChild<QPushButton*>(name);
}

QWidget* part(QWidget* box, const char* name)
{
    return box->findChild<QWidget*>(name);
}

void click(MessageBoxDlg* box, const char* name)
{
    QTest::mouseClick(button(box, name), Qt::LeftButton);
}

// The colour the style sheet paints at a point of the title bar away from
// the centred icon and text.
QColor titleBarColour(QWidget* box)
{
    QWidget* title = part(box, "titleWidget");
    return title->grab().toImage().pixelColor(25, title->height() - 5);
}

QList<MessageBoxDlg*> liveBoxes()
{
    QList<MessageBoxDlg*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<MessageBoxDlg*>(widget))
            boxes << box;
    }
    return boxes;
}

} // namespace

Q_DECLARE_METATYPE(BoxAction)

class tst_MessageBoxDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installFontSubstitutions(); }

    void content_data();
    void content();
    void kinds_data();
    void kinds();
    void statusChangeRestylesShownBox();
    void buttonCodes_data();
    void buttonCodes();
    void returnCodes_data();
    void returnCodes();
    void timeoutClosesWithoutButton();
    void focus_data();
    void focus();
    void alignToWindowArithmetic_data();
    void alignToWindowArithmetic();
    void alignWithoutActiveWindowLeavesPosition();
    void dragStrip_data();
    void dragStrip();
    void nestedCallKeepsRunningBox();
    void boxDeletedWhileOpen();
    void chineseTextHasGlyphs_data();
    void chineseTextHasGlyphs();
};

void tst_MessageBoxDlg::content_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("fontSize");
    QTest::addColumn<QString>("color");
    QTest::addColumn<QString>("expected");

    const QString wrap = "<font size='%1' color='%2' >%3</font>";
    const QString a300(300, 'a');
    QTest::newRow("300 characters whole") << a300 << "3"
                                          << "#000000" << wrap.arg("3", "#000000", a300);
    QTest::newRow("301 characters cut") << a300 + "b"
                                        << "3"
                                        << "#000000" << wrap.arg("3", "#000000", a300 + "...");
    QTest::newRow("empty size and colour take defaults") << "x"
                                                         << ""
                                                         << "" << wrap.arg("3", "#000000", "x");
    QTest::newRow("given size and colour") << "x"
                                           << "5"
                                           << "#ff0000" << wrap.arg("5", "#ff0000", "x");
    QTest::newRow("rich text passes unescaped")
        << "<b>bold</b> & 100%"
        << "3"
        << "#000000" << wrap.arg("3", "#000000", "<b>bold</b> & 100%");
    QTest::newRow("place markers in content stay literal")
        << "%1 %2"
        << "4"
        << "#123456"
        << "<font size='4' color='#123456' >%1 %2</font>";
    const QString hashes = "Download failed: package hash: SHA-256 " + QString(64, 'e') +
                           ", signed " + QString(64, 'f') + " &amp; more";
    QTest::newRow("hashes") << hashes << "3"
                            << "#000000" << wrap.arg("3", "#000000", hashes);
}

void tst_MessageBoxDlg::content()
{
    QFETCH(QString, content);
    QFETCH(QString, fontSize);
    QFETCH(QString, color);
    QFETCH(QString, expected);

    MessageBoxDlg box;
    QString shown;
    QString title;
    int overflow = 0;
    whenBoxOpen([&](MessageBoxDlg* open) {
        auto* label = open->findChild<QLabel*>("ContentText");
        shown = label->text();
        overflow = label->minimumSizeHint().width() - label->width();
        title = open->findChild<QLabel*>("TitleText")->text();
        open->reject();
    });
    box.showMessage(INFO, "T", content, 1024, 0, 1024, fontSize, color, 0, "", "");
    // Long runs may be broken anywhere; the text stays the same.
    QCOMPARE(shown.remove(QChar(0x200B)), expected);
    QVERIFY2(overflow <= 0, qPrintable(QString::number(overflow)));
    QCOMPARE(title, QString("T"));
}

void tst_MessageBoxDlg::kinds_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("secondButton");
    QTest::addColumn<QColor>("titleBar");

    QTest::newRow("INFO") << 1 << "INFO" << false << QColor("#ffffff");
    QTest::newRow("DANGER") << 2 << "DANGER" << false << QColor("#ff0000");
    QTest::newRow("SUCCESS") << 3 << "SUCCESS" << false << QColor("#00de6b");
    QTest::newRow("QUERY") << 4 << "QUERY" << true << QColor("#ffffff");
    QTest::newRow("0 keeps DANGER") << 0 << "DANGER" << false << QColor("#ff0000");
    QTest::newRow("5 keeps DANGER") << 5 << "DANGER" << false << QColor("#ff0000");
    QTest::newRow("100 keeps DANGER") << 100 << "DANGER" << false << QColor("#ff0000");
}

void tst_MessageBoxDlg::kinds()
{
    QFETCH(int, type);
    QFETCH(QString, status);
    QFETCH(bool, secondButton);
    QFETCH(QColor, titleBar);

    MessageBoxDlg box;
    QColor painted;
    bool okShown = false;
    bool noShown = false;
    whenBoxOpen([&](MessageBoxDlg* open) {
        painted = titleBarColour(open);
        okShown = button(open, "BtnOk")->isVisible();
        noShown = button(open, "BtnNo")->isVisible();
        open->reject();
    });
    box.showMessage(static_cast<MessageBoxType>(type), "T", "C", 16384, 65536, 16384, "", "", 0, "",
                    "");

    for (const char* name : {"bgWidget", "titleWidget", "TitleIcon"})
        QCOMPARE(part(&box, name)->property("STATUS").toString(), status);
    QVERIFY(okShown);
    QCOMPARE(noShown, secondButton);
    QCOMPARE(painted, titleBar);
}

void tst_MessageBoxDlg::statusChangeRestylesShownBox()
{
    MessageBoxDlg box;
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QCOMPARE(titleBarColour(&box), QColor("#ff0000"));

    box.setStatus("SUCCESS");
    QCOMPARE(titleBarColour(&box), QColor("#00de6b"));

    // The title text turns black only through the descendant rule, so this
    // also shows the labels inside the title bar were restyled.
    box.setStatus("INFO");
    QCOMPARE(titleBarColour(&box), QColor("#ffffff"));
    auto* titleText = box.findChild<QLabel*>("TitleText");
    QCOMPARE(titleText->palette().color(titleText->foregroundRole()), QColor("#000000"));
}

void tst_MessageBoxDlg::buttonCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QKeySequence>("expectedShortcut");
    QTest::addColumn<QVariant>("expectedCode");

    const QKeySequence none;
    const QKeySequence ret(Qt::Key_Return);
    const QKeySequence esc(Qt::Key_Escape);
    const struct
    {
        int code;
        const char* text;
        QKeySequence shortcut;
    } table[] = {
        {256, "Default", none},        {512, "Quit", esc},         {1024, "Confirm", ret},
        {2048, "Save", ret},           {4096, "Save all", ret},    {8192, "Open", ret},
        {16384, "Yes", ret},           {32768, "All Enable", ret}, {65536, "No", esc},
        {131072, "All Disabled", esc}, {262144, "Stop", esc},      {524288, "Retry", esc},
        {1048576, "Ignore", esc},      {2097152, "Turn off", esc}, {4194304, "Cancel", esc},
        {8388608, "Discard", esc},     {16777216, "Help", none},   {33554432, "Apply", none},
        {67108864, "Reset", none},
    };
    for (const auto& row : table) {
        QTest::addRow("%d", row.code)
            << row.code << "" << row.text << row.shortcut << QVariant(row.code);
    }

    QTest::newRow("caller's text over default") << 1024 << "I see"
                                                << "I see" << ret << QVariant(1024);
    QTest::newRow("unknown 0 keeps button") << 0 << ""
                                            << "before" << none << QVariant();
    QTest::newRow("unknown 3 keeps button") << 3 << ""
                                            << "before" << none << QVariant();
    QTest::newRow("flag combination is unknown") << (1024 | 4194304) << ""
                                                 << "before" << none << QVariant();
    QTest::newRow("unknown with text") << -1 << "Go"
                                       << "Go" << none << QVariant();
}

void tst_MessageBoxDlg::buttonCodes()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QString, expectedText);
    QFETCH(QKeySequence, expectedShortcut);
    QFETCH(QVariant, expectedCode);

    QPushButton pushButton("before");
    MessageBoxDlg::setButtonCode(&pushButton, code, text);
    QCOMPARE(pushButton.text(), expectedText);
    QCOMPARE(pushButton.shortcut(), expectedShortcut);
    QCOMPARE(pushButton.property("code"), expectedCode);
}

void tst_MessageBoxDlg::returnCodes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("code1");
    QTest::addColumn<int>("code2");
    QTest::addColumn<BoxAction>("action");
    QTest::addColumn<int>("expected");

    const BoxAction clickOk = [](MessageBoxDlg* box) { click(box, "BtnOk"); };
    const BoxAction clickNo = [](MessageBoxDlg* box) { click(box, "BtnNo"); };
    const BoxAction pressReturn = [](MessageBoxDlg* box) { QTest::keyClick(box, Qt::Key_Return); };
    const BoxAction pressEscape = [](MessageBoxDlg* box) { QTest::keyClick(box, Qt::Key_Escape); };

    QTest::newRow("click Confirm") << 1 << 1024 << 0 << clickOk << 1024;
    QTest::newRow("Return on Confirm") << 1 << 1024 << 0 << pressReturn << 1024;
    QTest::newRow("Escape without an Esc button") << 1 << 1024 << 0 << pressEscape << -1;
    QTest::newRow("query click second") << 4 << 16384 << 65536 << clickNo << 65536;
    QTest::newRow("query Return") << 4 << 16384 << 65536 << pressReturn << 16384;
    QTest::newRow("query Escape goes to No") << 4 << 16384 << 65536 << pressEscape << 65536;
    QTest::newRow("unknown code clicked") << 1 << 7 << 0 << clickOk << 0;
}

void tst_MessageBoxDlg::returnCodes()
{
    QFETCH(int, type);
    QFETCH(int, code1);
    QFETCH(int, code2);
    QFETCH(BoxAction, action);
    QFETCH(int, expected);

    MessageBoxDlg box;
    whenBoxOpen(action);
    const int result = box.showMessage(static_cast<MessageBoxType>(type), "T", "C", code1, code2,
                                       code1, "", "", 0, "", "");
    QCOMPARE(result, expected);
    QVERIFY(!box.isVisible());
}

void tst_MessageBoxDlg::timeoutClosesWithoutButton()
{
    const int result = MessageBoxDlg::showInfo("T", "C", 1024, "", "", 1, "");
    QCOMPARE(result, -1);
    const QList<MessageBoxDlg*> boxes = liveBoxes();
    QCOMPARE(boxes.size(), 1);
    QVERIFY(button(boxes.first(), "BtnOk")->isHidden());
    QVERIFY(button(boxes.first(), "BtnNo")->isHidden());
}

void tst_MessageBoxDlg::focus_data()
{
    QTest::addColumn<int>("defaultCode");
    QTest::addColumn<QString>("focused");

    QTest::newRow("default is first code") << 16384 << "BtnOk";
    QTest::newRow("default is second code") << 65536 << "BtnNo";
}

void tst_MessageBoxDlg::focus()
{
    QFETCH(int, defaultCode);
    QFETCH(QString, focused);

    MessageBoxDlg box;
    QString focusName;
    whenBoxOpen([&](MessageBoxDlg* open) {
        if (QWidget* widget = open->focusWidget())
            focusName = widget->objectName();
        open->reject();
    });
    box.showMessage(QUERY, "T", "C", 16384, 65536, defaultCode, "", "", 0, "", "");
    QCOMPARE(focusName, focused);
}

void tst_MessageBoxDlg::alignToWindowArithmetic_data()
{
    QTest::addColumn<QRect>("reference");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<QPoint>("expected");

    const QRect ref(100, 50, 800, 600);
    const QSize box(500, 350);
    QTest::newRow("centre") << ref << box << int(Qt::AlignCenter) << QPoint(250, 175);
    QTest::newRow("left") << ref << box << int(Qt::AlignLeft) << QPoint(50, 175);
    QTest::newRow("top") << ref << box << int(Qt::AlignTop) << QPoint(250, 25);
    QTest::newRow("combined flags centre")
        << ref << box << int(Qt::AlignLeft | Qt::AlignTop) << QPoint(250, 175);
    QTest::newRow("right mirrors left") << ref << box << int(Qt::AlignRight) << QPoint(450, 175);
    QTest::newRow("bottom mirrors top") << ref << box << int(Qt::AlignBottom) << QPoint(250, 325);
    // 801 / 2 = 400.5 and 501 / 2 = 250 (integer): 100 + 400.5 - 250 = 250.5 -> 250.
    QTest::newRow("odd sizes") << QRect(100, 50, 801, 601) << QSize(501, 351)
                               << int(Qt::AlignCenter) << QPoint(250, 175);
    // -300 + 50.5 - 250 = -499.5: truncation toward zero gives -499, not -500.
    QTest::newRow("negative truncates toward zero")
        << QRect(-300, -300, 101, 101) << QSize(500, 350) << int(Qt::AlignCenter)
        << QPoint(-499, -424);
}

void tst_MessageBoxDlg::alignToWindowArithmetic()
{
    QFETCH(QRect, reference);
    QFETCH(QSize, size);
    QFETCH(int, alignment);
    QFETCH(QPoint, expected);

    QWidget referenceWidget;
    referenceWidget.setGeometry(reference);
    QWidget widget;
    widget.resize(size);
    alignToWindow(&widget, &referenceWidget, alignment);
    QCOMPARE(widget.pos(), expected);
}

void tst_MessageBoxDlg::alignWithoutActiveWindowLeavesPosition()
{
    QVERIFY(!QApplication::activeWindow());
    QWidget widget;
    widget.move(12, 34);
    alignToWindow(&widget, nullptr, Qt::AlignCenter);
    QCOMPARE(widget.pos(), QPoint(12, 34));
    alignToWindow(nullptr, &widget, Qt::AlignCenter);
}

void tst_MessageBoxDlg::dragStrip_data()
{
    QTest::addColumn<int>("pressY");
    QTest::addColumn<bool>("moves");

    QTest::newRow("y 0") << 0 << true;
    QTest::newRow("y 49") << 49 << true;
    QTest::newRow("y 50") << 50 << false;
    QTest::newRow("y 200") << 200 << false;
}

void tst_MessageBoxDlg::dragStrip()
{
    QFETCH(int, pressY);
    QFETCH(bool, moves);

    MessageBoxDlg box;
    box.move(100, 100);
    const QPoint local(60, pressY);
    const QPoint global = box.mapToGlobal(local);
    const QPoint shift(30, 20);

    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(&box, &press);
    QMouseEvent move(QEvent::MouseMove, local + shift, global + shift, Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&box, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, local + shift, global + shift, Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&box, &release);

    QCOMPARE(box.pos(), moves ? QPoint(130, 120) : QPoint(100, 100));

    // After the release, moving the mouse no longer drags.
    const QPoint settled = box.pos();
    QMouseEvent later(QEvent::MouseMove, local, global + shift * 3, Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
    QApplication::sendEvent(&box, &later);
    QCOMPARE(box.pos(), settled);
}

void tst_MessageBoxDlg::nestedCallKeepsRunningBox()
{
    QPointer<MessageBoxDlg> outer;
    QPointer<MessageBoxDlg> inner;
    int innerResult = 0;
    bool outerAliveAfterInner = false;
    bool outerVisibleAfterInner = false;

    whenBoxOpen([&](MessageBoxDlg* open) {
        outer = open;
        // A second message while the first one waits for its answer.
        whenBoxOpen([&](MessageBoxDlg* nested) {
            inner = nested;
            click(nested, "BtnOk");
        });
        innerResult = MessageBoxDlg::showSuccess("T2", "C2", 1024, "", "", 0, "I see");
        outerAliveAfterInner = !outer.isNull();
        outerVisibleAfterInner = outer && outer->isVisible();
        if (outer)
            click(outer, "BtnOk");
    });
    const int outerResult = MessageBoxDlg::showInfo("T1", "C1", 1024, "", "", 0, "");

    QCOMPARE(innerResult, 1024);
    QVERIFY(outerAliveAfterInner);
    QVERIFY(outerVisibleAfterInner);
    QCOMPARE(outerResult, 1024);
    QVERIFY(inner && inner != outer);

    // The replaced box goes once its caller has the answer; the new one stays.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(outer.isNull());
    QVERIFY(!inner.isNull());

    // The next call replaces the box that is no longer running at once.
    MessageBoxDlg::showInfo("T3", "C3", 1024, "", "", 1, "");
    QVERIFY(inner.isNull());
    QCOMPARE(liveBoxes().size(), 1);
}

void tst_MessageBoxDlg::boxDeletedWhileOpen()
{
    auto* box = new MessageBoxDlg;
    QPointer<MessageBoxDlg> watch(box);
    whenBoxOpen([](MessageBoxDlg* open) { delete open; });
    QCOMPARE(box->showMessage(INFO, "T", "C", 1024, 0, 1024, "", "", 0, "", ""), -1);
    QVERIFY(watch.isNull());
}

void tst_MessageBoxDlg::chineseTextHasGlyphs_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("resolved");

    // The Chinese families resolve to the CJK font itself, so Latin letters in
    // a Chinese text share its look; Arial keeps a Latin face for Latin text.
    QTest::newRow("Chinese name of YaHei")
        << QString::fromUtf8("微软雅黑") << "WenQuanYi Micro Hei";
    QTest::newRow("Microsoft Yahei") << "Microsoft Yahei"
                                     << "WenQuanYi Micro Hei";
    QTest::newRow("Arial") << "Arial"
                           << "";
}

void tst_MessageBoxDlg::chineseTextHasGlyphs()
{
    QFETCH(QString, family);
    QFETCH(QString, resolved);

    const QFont font(family);
    if (!resolved.isEmpty())
        QCOMPARE(QFontInfo(font).family(), resolved);

    // Glyph 0 is the empty box drawn for characters a font lacks.
    QTextLayout layout(QString::fromUtf8("无法连接到服务器 Confirm"), font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    QVERIFY(!runs.isEmpty());
    for (const QGlyphRun& run : runs) {
        for (quint32 glyph : run.glyphIndexes())
            QVERIFY2(glyph != 0, qPrintable(run.rawFont().familyName()));
    }
}

QTEST_MAIN(tst_MessageBoxDlg)
#include "tst_messageboxdlg.moc"
