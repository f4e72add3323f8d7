#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>

#include "ui_MessageBoxDlg.h"

class QAbstractButton;

// The look of a message box; the enumerator's name is the value the style
// sheet's STATUS selectors match. Fixed to int because callers may pass any
// number, which keeps the box's initial look.
enum MessageBoxType : int
{
    INFO = 1,
    DANGER = 2,
    SUCCESS = 3,
    QUERY = 4,
};

// The program's own modal message box: a frameless white card whose title bar
// colour and icon tell the kind of message, with one or two buttons whose
// texts, shortcuts and result codes come from the button-code table.
class MessageBoxDlg : public QDialog
{
    Q_OBJECT

public:
    explicit MessageBoxDlg(QWidget* parent = nullptr);

    // Fills the box, runs it modally and returns the code of the button that
    // closed it, or -1 when it closed any other way.
    int showMessage(MessageBoxType type, QString title, QString content, int code1, int code2,
                    int defaultCode, QString fontSize, QString color, int timeoutMs, QString text1,
                    QString text2);

    static int showInfo(QString title, QString content, int code, QString fontSize, QString color,
                        int timeoutMs, QString buttonText);
    static int showSuccess(QString title, QString content, int code, QString fontSize,
                           QString color, int timeoutMs, QString buttonText);

    // Gives `button` the text, shortcut and `code` property of a button code;
    // a non-empty `text` replaces the default text.
    static void setButtonCode(QAbstractButton* button, int code, QString text);

    void setStatus(QString status);

public slots:
    void ReturnCode();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    static int showReplacingCurrent(MessageBoxType type, const QString& title,
                                    const QString& content, int code, const QString& fontSize,
                                    const QString& color, int timeoutMs, const QString& buttonText);

    bool m_dragging = false;
    QPoint m_dragOffset;
    Ui::MessageBox ui;
    int m_returnCode = -1;
    // Set while exec() runs, so that a box replaced from inside its own event
    // loop is deleted only once its caller has its answer.
    bool m_running = false;
    bool m_deleteWhenDone = false;
};
