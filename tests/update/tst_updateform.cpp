#include <QBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "update/Update.h"
#include "widgets/FontSubstitutions.h"

namespace {

// Reaches the form's text operations without the controller around them.
class UpdateForm : public Update
{
public:
    explicit UpdateForm(const QString& code = QString()) : Update(false)
    {
        if (!code.isEmpty()) {
            language = code;
            applyTexts();
        }
    }
    using Update::applyTexts;
    using Update::localText;
    void offerNotes(const QString& notes)
    {
        versionInfo.noteJson = QJsonDocument(QJsonObject{{"default", notes}}).toJson();
        showVersionInfo();
    }
    bool mode() const { return updateMode; }
};

QString text(QWidget* window, const char* name)
{
    QObject* object = window->findChild<QObject*>(name);
    if (auto* label = qobject_cast<QLabel*>(object))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(object))
        return button->text();
    return QString("<no text widget %1>").arg(name);
}

QLayout* layoutNamed(QWidget* window, const QString& name)
{
    return window->findChild<QLayout*>(name);
}

QString spacerSummary(QLayoutItem* item)
{
    QSpacerItem* spacer = item->spacerItem();
    if (!spacer)
        return QString();
    return QString("%1x%2").arg(spacer->sizeHint().width()).arg(spacer->sizeHint().height());
}

} // namespace

Q_DECLARE_METATYPE(QMargins)

class tst_UpdateForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installFontSubstitutions(); }

    void localText_data();
    void localText();
    void applyTexts_data();
    void applyTexts();
    void applyTextsResetsProgressArea();
    void constructorKeepsMode();
    void widgets_data();
    void widgets();
    void layouts_data();
    void layouts();
    void layoutItems();
    void buttonSchemes();
    void notesAreBounded_data();
    void notesAreBounded();
};

void tst_UpdateForm::localText_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zh_CN title") << "zh_CN"
                                 << "Prompt" << QString::fromUtf8("提示");
    QTest::newRow("zh_CN ASCII comma")
        << "zh_CN"
        << "Query program version error, unable to update temporarily"
        << QString::fromUtf8("查询程序版本错误,暂时不能更新");
    QTest::newRow("zh_CN ASCII exclamation")
        << "zh_CN"
        << "A new version has been found!" << QString::fromUtf8("发现新版本了!");
    QTest::newRow("zh_CN apostrophe key")
        << "zh_CN"
        << "It's the latest version" << QString::fromUtf8("已是最新版本");
    QTest::newRow("zh_CN unknown key") << "zh_CN"
                                       << "Whatever"
                                       << "Whatever";
    QTest::newRow("zh_CN key case matters") << "zh_CN"
                                            << "prompt"
                                            << "prompt";
    QTest::newRow("zh_CN empty key") << "zh_CN"
                                     << ""
                                     << "";
    QTest::newRow("zh_TW is English") << "zh_TW"
                                      << "Update failed"
                                      << "Update failed";
    QTest::newRow("en_US is English") << "en_US"
                                      << "I see"
                                      << "I see";
    QTest::newRow("empty language is English") << ""
                                               << "Confirm"
                                               << "Confirm";
    QTest::newRow("lower-case zh_cn is English") << "zh_cn"
                                                 << "Error"
                                                 << "Error";
    QTest::newRow("unknown key in English") << "en_US"
                                            << "Whatever"
                                            << "Whatever";
}

void tst_UpdateForm::localText()
{
    QFETCH(QString, language);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    UpdateForm window(language);
    QCOMPARE(window.localText(key), expected);
}

void tst_UpdateForm::applyTexts_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("expected");

    // Window title, lb_title, lb_versionText, lb_oldVersion, lb_newVersion,
    // lb_total, lb_download, pb_update, pb_cancel.
    const QStringList english = {
        "Version update",    "Version update", "A new version has been found!",
        "Current version: ", "New version: ",  "Total size: ",
        "Downloaded: ",      "Update now",     "Not updated yet"};
    const QStringList chinese = {
        QString::fromUtf8("版本更新"),      QString::fromUtf8("版本更新"),
        QString::fromUtf8("发现新版本了!"), QString::fromUtf8("当前版本: "),
        QString::fromUtf8("新的版本: "),    QString::fromUtf8("总大小: "),
        QString::fromUtf8("已下载: "),      QString::fromUtf8("立即更新"),
        QString::fromUtf8("暂不更新")};
    QTest::newRow("construction (no language)") << "" << english;
    QTest::newRow("zh_CN") << "zh_CN" << chinese;
    QTest::newRow("zh_TW") << "zh_TW" << english;
    QTest::newRow("en_US") << "en_US" << english;
    QTest::newRow("other") << "fr_FR" << english;
}

void tst_UpdateForm::applyTexts()
{
    QFETCH(QString, language);
    QFETCH(QStringList, expected);

    UpdateForm window(language);
    const QStringList shown = {window.windowTitle(),
                               text(&window, "lb_title"),
                               text(&window, "lb_versionText"),
                               text(&window, "lb_oldVersion"),
                               text(&window, "lb_newVersion"),
                               text(&window, "lb_total"),
                               text(&window, "lb_download"),
                               text(&window, "pb_update"),
                               text(&window, "pb_cancel")};
    QCOMPARE(shown, expected);
    QCOMPARE(text(&window, "lb_versionLogo"), QString());
    QCOMPARE(int(window.windowFlags()), 0x4E801);
}

void tst_UpdateForm::applyTextsResetsProgressArea()
{
    UpdateForm window("zh_CN");
    auto* notes = window.findChild<QPlainTextEdit*>("plainTextEdit");
    auto* progress = window.findChild<QProgressBar*>("progressBar");
    auto* bar = window.findChild<QWidget*>("barWidget");

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!bar->isVisible());
    QCOMPARE(progress->value(), 0);
    QVERIFY(notes->isReadOnly());

    // Whatever a download left behind, a new round of texts starts clean.
    notes->setPlainText("notes");
    progress->setValue(40);
    bar->show();
    window.applyTexts();
    QVERIFY(window.isVisible());
    QVERIFY(bar->isHidden());
    QCOMPARE(progress->value(), 0);
    QCOMPARE(notes->toPlainText(), QString());
}

void tst_UpdateForm::constructorKeepsMode()
{
    UpdateForm window;
    QCOMPARE(window.mode(), false);
    Update updating(true);
    QCOMPARE(updating.objectName(), QString("UpdateUi"));
    QCOMPARE(updating.size(), QSize(571, 400));
}

void tst_UpdateForm::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QSize>("minimumSize");
    QTest::addColumn<int>("horizontalPolicy");
    QTest::addColumn<int>("verticalPolicy");

    const int preferred = QSizePolicy::Preferred;
    const int fixed = QSizePolicy::Fixed;
    const int expanding = QSizePolicy::Expanding;
    auto row = [](const char* name, const char* cls, const char* parent, QSize min, int h, int v) {
        QTest::newRow(name) << name << cls << parent << min << h << v;
    };
    row("centralWidget", "QWidget", "UpdateUi", QSize(0, 0), preferred, preferred);
    row("titleWidget", "QWidget", "centralWidget", QSize(0, 35), preferred, fixed);
    row("lb_title", "QLabel", "titleWidget", QSize(0, 0), preferred, preferred);
    row("lb_versionLogo", "QLabel", "centralWidget", QSize(50, 50), fixed, fixed);
    row("lb_versionText", "QLabel", "centralWidget", QSize(0, 0), preferred, preferred);
    row("lb_oldVersion", "QLabel", "centralWidget", QSize(0, 0), preferred, preferred);
    row("lb_newVersion", "QLabel", "centralWidget", QSize(0, 0), preferred, preferred);
    row("widget", "QWidget", "centralWidget", QSize(0, 0), preferred, preferred);
    row("plainTextEdit", "QPlainTextEdit", "widget", QSize(0, 0), expanding, expanding);
    row("barWidget", "QWidget", "centralWidget", QSize(0, 50), preferred, preferred);
    row("progressBar", "QProgressBar", "barWidget", QSize(0, 0), expanding, fixed);
    row("widget_2", "QWidget", "barWidget", QSize(100, 0), preferred, preferred);
    row("lb_total", "QLabel", "widget_2", QSize(0, 0), preferred, preferred);
    row("lb_download", "QLabel", "widget_2", QSize(0, 0), preferred, preferred);
    row("pb_update", "QPushButton", "centralWidget", QSize(80, 30), fixed, fixed);
    row("pb_cancel", "QPushButton", "centralWidget", QSize(80, 30), fixed, fixed);
}

void tst_UpdateForm::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QSize, minimumSize);
    QFETCH(int, horizontalPolicy);
    QFETCH(int, verticalPolicy);

    Update window(false);
    auto* widget = window.findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    QCOMPARE(widget->minimumSize(), minimumSize);
    QCOMPARE(int(widget->sizePolicy().horizontalPolicy()), horizontalPolicy);
    QCOMPARE(int(widget->sizePolicy().verticalPolicy()), verticalPolicy);
}

void tst_UpdateForm::layouts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("owner");
    QTest::addColumn<int>("spacing");
    QTest::addColumn<QMargins>("margins");

    // A layout nested in another has no widget of its own; the owner column
    // names the layout it sits in. The form's -1 margins resolve to 0 there.
    QTest::newRow("verticalLayout_2") << "verticalLayout_2"
                                      << "centralWidget" << 10 << QMargins(0, 0, 0, 20);
    QTest::newRow("horizontalLayout") << "horizontalLayout"
                                      << "titleWidget" << 10 << QMargins(20, 0, 20, 0);
    QTest::newRow("horizontalLayout_2") << "horizontalLayout_2"
                                        << "verticalLayout_2" << 6 << QMargins(20, 0, 20, 0);
    QTest::newRow("verticalLayout") << "verticalLayout"
                                    << "horizontalLayout_2" << 6 << QMargins();
    QTest::newRow("horizontalLayout_5") << "horizontalLayout_5"
                                        << "widget" << 6 << QMargins(10, 0, 10, 0);
    QTest::newRow("horizontalLayout_4") << "horizontalLayout_4"
                                        << "barWidget" << 0 << QMargins(20, 0, 20, 0);
    QTest::newRow("verticalLayout_3") << "verticalLayout_3"
                                      << "widget_2" << 6 << QMargins(11, 11, 11, 11);
    QTest::newRow("horizontalLayout_3") << "horizontalLayout_3"
                                        << "verticalLayout_2" << 6 << QMargins(20, 0, 20, 0);
}

void tst_UpdateForm::layouts()
{
    QFETCH(QString, name);
    QFETCH(QString, owner);
    QFETCH(int, spacing);
    QFETCH(QMargins, margins);

    Update window(false);
    QLayout* layout = layoutNamed(&window, name);
    QVERIFY(layout);
    QObject* parent = layout->parent();
    QCOMPARE(parent->objectName(), owner);
    QCOMPARE(layout->spacing(), spacing);
    QCOMPARE(layout->contentsMargins(), margins);
}

void tst_UpdateForm::layoutItems()
{
    Update window(false);

    // Only the release notes grow with the window.
    auto* outer = qobject_cast<QBoxLayout*>(layoutNamed(&window, "verticalLayout_2"));
    QVERIFY(outer);
    QCOMPARE(outer->count(), 5);
    QCOMPARE(outer->itemAt(0)->widget()->objectName(), QString("titleWidget"));
    QCOMPARE(outer->itemAt(1)->layout()->objectName(), QString("horizontalLayout_2"));
    QCOMPARE(outer->itemAt(2)->widget()->objectName(), QString("widget"));
    QCOMPARE(outer->itemAt(3)->widget()->objectName(), QString("barWidget"));
    QCOMPARE(outer->itemAt(4)->layout()->objectName(), QString("horizontalLayout_3"));
    const QList<int> stretches = {outer->stretch(0), outer->stretch(1), outer->stretch(2),
                                  outer->stretch(3), outer->stretch(4)};
    QCOMPARE(stretches, QList<int>({0, 0, 1, 0, 0}));

    // The heading is pushed left by a wide spacer.
    QLayout* title = layoutNamed(&window, "horizontalLayout");
    QCOMPARE(title->count(), 2);
    QCOMPARE(title->itemAt(0)->widget()->objectName(), QString("lb_title"));
    QCOMPARE(spacerSummary(title->itemAt(1)), QString("474x20"));

    // The two buttons sit between three equal spacers.
    QLayout* buttons = layoutNamed(&window, "horizontalLayout_3");
    QCOMPARE(buttons->count(), 5);
    QStringList items;
    for (int i = 0; i < buttons->count(); ++i) {
        QLayoutItem* item = buttons->itemAt(i);
        items << (item->widget() ? item->widget()->objectName() : spacerSummary(item));
        if (QSpacerItem* spacer = item->spacerItem())
            QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    }
    QCOMPARE(items, QStringList({"40x20", "pb_update", "40x20", "pb_cancel", "40x20"}));
}

void tst_UpdateForm::buttonSchemes()
{
    Update window(false);
    auto* update = window.findChild<QPushButton*>("pb_update");
    auto* cancel = window.findChild<QPushButton*>("pb_cancel");
    QCOMPARE(update->property("BTN_TYPE").toString(), QString("PRIMARY"));
    QCOMPARE(cancel->property("BTN_TYPE").toString(), QString("INFO"));

    // The schemes reach the buttons: blue for the primary action, grey for the
    // other, and pale blue once the primary one is disabled.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto centre = [](QWidget* widget) {
        return widget->grab().toImage().pixelColor(3, widget->height() - 3);
    };
    QCOMPARE(centre(update), QColor("#409eff"));
    QCOMPARE(centre(cancel), QColor("#909399"));
    update->setEnabled(false);
    QCOMPARE(centre(update), QColor("#a0cfff"));
}

void tst_UpdateForm::notesAreBounded_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("notes");
    QTest::addColumn<int>("keptUtf8Bytes"); // of the notes; -1: all, unchanged
    QTest::addColumn<QString>("joiner");    // puts broken lines together again

    const QString word = "word ";
    QTest::newRow("short") << "en_US"
                           << "Faster start.\nFewer crashes." << -1 << "\n";
    QTest::newRow("1 MB on one line") << "en_US" << QString(1 << 20, 'x') << 65536 << "";
    // Broken after a space, which stays at the end of the line.
    QTest::newRow("words on one long line") << "en_US" << word.repeated(4000) << -1 << "";
    // 65536 is no multiple of 3: the cut falls inside a character.
    QTest::newRow("Chinese, cut in Chinese")
        << "zh_CN" << QString::fromUtf8("说明").repeated(20000) << 65535 << "";
}

void tst_UpdateForm::notesAreBounded()
{
    QFETCH(QString, language);
    QFETCH(QString, notes);
    QFETCH(int, keptUtf8Bytes);
    QFETCH(QString, joiner);

    UpdateForm window(language);
    window.offerNotes(notes);
    QStringList lines =
        window.findChild<QPlainTextEdit*>("plainTextEdit")->toPlainText().split('\n');
    for (const QString& line : qAsConst(lines))
        QVERIFY2(line.size() <= 1000, qPrintable(QString::number(line.size())));
    if (keptUtf8Bytes < 0) {
        QCOMPARE(lines.join(joiner), notes);
        return;
    }
    QCOMPARE(lines.takeLast(), window.localText("[The release notes are longer than 64 KB and "
                                                "were cut here.]"));
    QCOMPARE(lines.join("").toUtf8().size(), keptUtf8Bytes);
}

QTEST_MAIN(tst_UpdateForm)
#include "tst_updateform.moc"
