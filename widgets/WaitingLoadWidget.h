#pragma once

// The busy indicator shown while the service client waits for an answer: a
// turning ring of twelve dots above a caption, one per process.

#include <QColor>
#include <QDialog>
#include <QString>
#include <QVector>

class QTimer;

class WaitingLoadWidget : public QDialog
{
    Q_OBJECT

public:
    explicit WaitingLoadWidget(QWidget* parent = nullptr);
    ~WaitingLoadWidget() override;

    // The process-wide indicator, created hidden on first use.
    static WaitingLoadWidget* instance();

    // `count` colours from `start` toward `end`, the last one a step short of
    // `end`; `colors` is emptied first.
    void makeGradient(QColor start, QColor end, QVector<QColor>& colors, int count);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void tick();
    void stopAnimation();

    QTimer* m_timer;
    QVector<QColor> m_colors;
    int m_step = 0;
    QColor m_startColor;
    QColor m_endColor;
    int m_maxTicks = 300;
    int m_ticks = 0;
    QString m_text;
};
