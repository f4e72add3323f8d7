#pragma once

#include <QProgressDialog>

// The modal window a download shows when its own progress display is on:
// a styled bar, a label and a cancel button.
class ProgressDialog : public QProgressDialog
{
    Q_OBJECT

public:
    ProgressDialog(const QString& title, const QString& labelText, QWidget* parent = nullptr);

public slots:
    // Takes a network reply's 64-bit counts; the bar holds their low 32 bits.
    void networkReplyProgress(qint64 bytesRead, qint64 totalBytes);
};
