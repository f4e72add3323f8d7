#pragma once

#include <QWidget>

class QLabel;
class UpdaterLauncher;

// The stand-in main application: its name, its installed version and a
// button that asks the updater to check for a newer one.
class DemoWindow : public QWidget
{
    Q_OBJECT

public:
    DemoWindow(const QString& version, const UpdaterLauncher& launcher, QWidget* parent = nullptr);

    void setStatus(const QString& text);
    void setNews(const QString& text);

private slots:
    void slotCheckClick();

private:
    const UpdaterLauncher& m_launcher;
    QLabel* m_status = nullptr;
    QLabel* m_news = nullptr;
};
