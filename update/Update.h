#pragma once

#include <QMainWindow>
#include <QMap>
#include <QString>

#include "ui_Update.h"

// The updater's only window: the offer of a new version with its release
// notes, the download progress and the two buttons that drive the update.
class Update : public QMainWindow
{
    Q_OBJECT

public:
    explicit Update(bool updateMode, QWidget* parent = nullptr);

protected:
    // Fills the window's own translation table; keys are the English texts.
    void initTextTable();
    // `key` in the current language, or `key` itself when there is no
    // translation for it.
    QString localText(QString key);
    // Window flags and the language-dependent start texts of the form.
    void applyTexts();

    Ui::UpdateUi ui;
    QMap<QString, QMap<QString, QString>> textTable;
    bool updateMode = false;
    QString language;
};
