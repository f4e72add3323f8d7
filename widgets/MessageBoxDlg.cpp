#include "widgets/MessageBoxDlg.h"

#include "widgets/AlignToWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QGraphicsDropShadowEffect>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPointer>
#include <QStyle>
#include <QTimer>

namespace {

// Only the top strip of the card (title bar and a little margin) drags the box.
constexpr int kDragStripHeight = 50;
constexpr int kMaxContentLength = 300;

// A label wraps only between words; a hash or a path is one long word.
constexpr int kLongestUnbrokenRun = 16;
const QChar kZeroWidthSpace(0x200B);

// Lets the label break runs of visible characters longer than
// kLongestUnbrokenRun, which would otherwise run past the box's right edge.
// Markup and character references are left whole.
QString breakableRuns(const QString& richText)
{
    QString result;
    result.reserve(richText.size() + richText.size() / kLongestUnbrokenRun);
    bool inTag = false;
    bool inReference = false;
    int run = 0;
    for (const QChar c : richText) {
        if (inTag || c == '<') {
            inTag = c != '>';
        } else if (c.isSpace()) {
            run = 0;
            inReference = false;
        } else if (inReference) {
            inReference = c != ';';
        } else {
            if (run >= kLongestUnbrokenRun && !c.isLowSurrogate()) {
                result += kZeroWidthSpace;
                run = 0;
            }
            ++run;
            inReference = c == '&';
        }
        result += c;
    }
    return result;
}

enum class Shortcut
{
    None,
    Return,
    Esc,
};

struct ButtonCodeRow
{
    int code;
    const char* text;
    Shortcut shortcut;
};

// The numeric values of the standard dialog buttons that callers pass as codes.
const ButtonCodeRow kButtonCodes[] = {
    {256, QT_TRANSLATE_NOOP("MessageBoxDlg", "Default"), Shortcut::None},
    {512, QT_TRANSLATE_NOOP("MessageBoxDlg", "Quit"), Shortcut::Esc},
    {1024, QT_TRANSLATE_NOOP("MessageBoxDlg", "Confirm"), Shortcut::Return},
    {2048, QT_TRANSLATE_NOOP("MessageBoxDlg", "Save"), Shortcut::Return},
    {4096, QT_TRANSLATE_NOOP("MessageBoxDlg", "Save all"), Shortcut::Return},
    {8192, QT_TRANSLATE_NOOP("MessageBoxDlg", "Open"), Shortcut::Return},
    {16384, QT_TRANSLATE_NOOP("MessageBoxDlg", "Yes"), Shortcut::Return},
    {32768, QT_TRANSLATE_NOOP("MessageBoxDlg", "All Enable"), Shortcut::Return},
    {65536, QT_TRANSLATE_NOOP("MessageBoxDlg", "No"), Shortcut::Esc},
    {131072, QT_TRANSLATE_NOOP("MessageBoxDlg", "All Disabled"), Shortcut::Esc},
    {262144, QT_TRANSLATE_NOOP("MessageBoxDlg", "Stop"), Shortcut::Esc},
    {524288, QT_TRANSLATE_NOOP("MessageBoxDlg", "Retry"), Shortcut::Esc},
    {1048576, QT_TRANSLATE_NOOP("MessageBoxDlg", "Ignore"), Shortcut::Esc},
    {2097152, QT_TRANSLATE_NOOP("MessageBoxDlg", "Turn off"), Shortcut::Esc},
    {4194304, QT_TRANSLATE_NOOP("MessageBoxDlg", "Cancel"), Shortcut::Esc},
    {8388608, QT_TRANSLATE_NOOP("MessageBoxDlg", "Discard"), Shortcut::Esc},
    {16777216, QT_TRANSLATE_NOOP("MessageBoxDlg", "Help"), Shortcut::None},
    {33554432, QT_TRANSLATE_NOOP("MessageBoxDlg", "Apply"), Shortcut::None},
    {67108864, QT_TRANSLATE_NOOP("MessageBoxDlg", "Reset"), Shortcut::None},
};

const ButtonCodeRow* findButtonCode(int code)
{
    for (const ButtonCodeRow& row : kButtonCodes) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

QKeySequence shortcutSequence(Shortcut shortcut)
{
    const char* key = shortcut == Shortcut::Return ? QT_TRANSLATE_NOOP("MessageBox", "Return")
                                                   : QT_TRANSLATE_NOOP("MessageBox", "Esc");
    return QKeySequence(QCoreApplication::translate("MessageBox", key), QKeySequence::NativeText);
}

const char* statusName(MessageBoxType type)
{
    switch (type) {
    case INFO:
        return "INFO";
    case DANGER:
        return "DANGER";
    case SUCCESS:
        return "SUCCESS";
    case QUERY:
        return "QUERY";
    }
    return nullptr;
}

void repolish(QWidget* widget)
{
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
}

// The one box the convenience functions keep alive between calls.
QPointer<MessageBoxDlg> currentMessageBox;

} // namespace

MessageBoxDlg::MessageBoxDlg(QWidget* parent) : QDialog(parent)
{
    ui.setupUi(this);
    connect(ui.BtnOk, SIGNAL(clicked()), this, SLOT(ReturnCode()));
    connect(ui.BtnNo, SIGNAL(clicked()), this, SLOT(ReturnCode()));

    setWindowModality(Qt::NonModal);
    m_returnCode = -1;
    m_dragging = false;
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_MouseTracking);

    // The shadow belongs to the card, not to the translucent dialog around it.
    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0.0, 0.0);
    shadow->setColor(QColor("#444444"));
    shadow->setBlurRadius(30.0);
    ui.bgWidget->setGraphicsEffect(shadow);

    setWindowOpacity(0.98);
}

int MessageBoxDlg::showMessage(MessageBoxType type, QString title, QString content, int code1,
                               int code2, int defaultCode, QString fontSize, QString color,
                               int timeoutMs, QString text1, QString text2)
{
    if (content.size() > kMaxContentLength)
        content = content.left(kMaxContentLength) + "...";
    if (fontSize.isEmpty())
        fontSize = "3";
    if (color.isEmpty())
        color = "#000000";

    ui.TitleText->setText(title);
    // The content goes in unescaped on purpose: callers may pass rich text.
    ui.ContentText->setText(QString("<font size='%1' color='%2' >%3</font>")
                                .arg(fontSize)
                                .arg(color)
                                .arg(breakableRuns(content)));

    ui.BtnOk->show();
    ui.BtnNo->hide();
    setButtonCode(ui.BtnOk, code1, text1);

    if (const char* status = statusName(type))
        setStatus(status);
    if (type == QUERY) {
        ui.BtnNo->show();
        setButtonCode(ui.BtnNo, code2, text2);
    }

    QAbstractButton* focusButton = defaultCode == code1 ? ui.BtnOk : ui.BtnNo;
    focusButton->setFocus(Qt::OtherFocusReason);

    QTimer closeTimer;
    if (timeoutMs > 0) {
        closeTimer.setSingleShot(true);
        connect(&closeTimer, SIGNAL(timeout()), this, SLOT(accept()));
        closeTimer.start(timeoutMs);
        ui.BtnOk->hide();
    }

    alignToWindow(this, nullptr, Qt::AlignCenter);
    raise();

    // Something in the nested event loop may delete the box; exec() copes
    // with that and so must the rest of this function.
    QPointer<MessageBoxDlg> self(this);
    m_running = true;
    exec();
    if (!self)
        return -1;
    m_running = false;

    const int returnCode = m_returnCode;
    if (m_deleteWhenDone)
        deleteLater();
    return returnCode;
}

int MessageBoxDlg::showInfo(QString title, QString content, int code, QString fontSize,
                            QString color, int timeoutMs, QString buttonText)
{
    return showReplacingCurrent(INFO, title, content, code, fontSize, color, timeoutMs, buttonText);
}

int MessageBoxDlg::showSuccess(QString title, QString content, int code, QString fontSize,
                               QString color, int timeoutMs, QString buttonText)
{
    return showReplacingCurrent(SUCCESS, title, content, code, fontSize, color, timeoutMs,
                                buttonText);
}

int MessageBoxDlg::showReplacingCurrent(MessageBoxType type, const QString& title,
                                        const QString& content, int code, const QString& fontSize,
                                        const QString& color, int timeoutMs,
                                        const QString& buttonText)
{
    if (currentMessageBox) {
        // A box still inside exec() has a caller waiting on its stack; it
        // stays open under the new one and goes away once it returns.
        if (currentMessageBox->m_running)
            currentMessageBox->m_deleteWhenDone = true;
        else
            delete currentMessageBox.data();
    }
    auto* box = new MessageBoxDlg(nullptr);
    currentMessageBox = box;
    return box->showMessage(type, title, content, code, 0, code, fontSize, color, timeoutMs,
                            buttonText, "");
}

void MessageBoxDlg::setButtonCode(QAbstractButton* button, int code, QString text)
{
    const ButtonCodeRow* row = findButtonCode(code);
    // setText() replaces the shortcut with the text's mnemonic, so the text
    // goes first and the code's shortcut after it.
    if (!text.isEmpty())
        button->setText(text);
    else if (row)
        button->setText(tr(row->text));
    if (!row)
        return;
    button->setProperty("code", code);
    if (row->shortcut != Shortcut::None)
        button->setShortcut(shortcutSequence(row->shortcut));
}

void MessageBoxDlg::setStatus(QString status)
{
    ui.bgWidget->setProperty("STATUS", status);
    ui.titleWidget->setProperty("STATUS", status);
    ui.TitleIcon->setProperty("STATUS", status);
    // Property selectors are matched when a widget is polished, and polishing
    // the dialog alone leaves its children styled for the old status.
    repolish(this);
    for (QWidget* child : findChildren<QWidget*>())
        repolish(child);
}

void MessageBoxDlg::ReturnCode()
{
    QObject* button = sender();
    m_returnCode = button ? button->property("code").toInt() : 0;
    close();
}

void MessageBoxDlg::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && event->pos().y() < kDragStripHeight) {
        m_dragging = true;
        m_dragOffset = event->globalPos() - frameGeometry().topLeft();
        return;
    }
    QWidget::mousePressEvent(event);
}

void MessageBoxDlg::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        releaseMouse();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void MessageBoxDlg::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging) {
        move(event->globalPos() - m_dragOffset);
        event->accept();
    }
    QWidget::mouseMoveEvent(event);
}
