#include "widgets/WaitingLoadWidget.h"

#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QTimer>

namespace {

WaitingLoadWidget* g_instance = nullptr;

constexpr int kDotCount = 12;
constexpr int kTickMs = 100;
constexpr int kBoxWidth = 200;
constexpr int kBoxHeight = 100;
constexpr qreal kDegreesPerDot = 360.0 / kDotCount;

QFont captionFont()
{
    QFont font(QStringLiteral("Microsoft Yahei"), 14, 75, false);
    return font;
}

} // namespace

WaitingLoadWidget::WaitingLoadWidget(QWidget* parent) : QDialog(parent), m_timer(new QTimer(this))
{
    setObjectName(QStringLiteral("WaitingLoadWidget"));
    setFixedSize(kBoxWidth, kBoxHeight);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::SubWindow | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowStaysOnTopHint);
    connect(m_timer, &QTimer::timeout, this, [this]() { tick(); });
    m_startColor = QColor(187, 255, 255, 255);
    m_endColor = QColor(46, 139, 87, 255);
    makeGradient(m_startColor, m_endColor, m_colors, kDotCount);
    m_text = tr("Loading");
}

WaitingLoadWidget::~WaitingLoadWidget()
{
    if (g_instance == this)
        g_instance = nullptr;
}

WaitingLoadWidget* WaitingLoadWidget::instance()
{
    if (!g_instance)
        g_instance = new WaitingLoadWidget(nullptr);
    return g_instance;
}

void WaitingLoadWidget::makeGradient(QColor start, QColor end, QVector<QColor>& colors, int count)
{
    colors.resize(0);
    const int dr = end.red() - start.red();
    const int dg = end.green() - start.green();
    const int db = end.blue() - start.blue();
    for (int i = 0; i < count; ++i) {
        colors.append(QColor(start.red() + (i * dr) / count, start.green() + (i * dg) / count,
                             start.blue() + (i * db) / count, 255));
    }
}

void WaitingLoadWidget::tick()
{
    ++m_ticks;
    if (++m_step > kDotCount - 1)
        m_step = 0;
    // Nobody may be left to close it (a caller that never returned): give up
    // after about half a minute rather than stay on top for ever.
    if (m_ticks > m_maxTicks) {
        m_ticks = 0;
        hide();
    }
    update();
}

void WaitingLoadWidget::stopAnimation()
{
    m_ticks = 0;
    m_timer->stop();
}

void WaitingLoadWidget::keyPressEvent(QKeyEvent* event)
{
    // Escape would reject the dialog; the indicator ends with its request.
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

void WaitingLoadWidget::paintEvent(QPaintEvent*)
{
    const QFont font = captionFont();
    const QFontMetrics metrics(font);
    const int textWidth = metrics.horizontalAdvance(m_text);
    const int textHeight = metrics.height();
    setFixedWidth(textWidth <= kBoxWidth ? kBoxWidth : int(textWidth * 1.2));
    setFixedHeight(textHeight <= kBoxHeight ? kBoxHeight : int(textHeight * 1.2));
    const int boxWidth = width();

    QPainter painter(this);
    painter.setBrush(QBrush(QColor(53, 57, 77)));
    painter.setPen(QColor(53, 57, 77));
    painter.drawRoundedRect(rect(), 10.0, 10.0, Qt::AbsoluteSize);

    painter.setRenderHint(QPainter::Antialiasing);
    painter.save();
    painter.translate(boxWidth / 2, 40.0);
    painter.rotate(m_step * kDegreesPerDot);
    qreal radius = 1.0;
    for (int i = 0; i < kDotCount; ++i) {
        painter.setBrush(QBrush(m_colors[i]));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPointF(0.0, -30.0), radius, radius);
        radius += 0.5;
        painter.rotate(kDegreesPerDot);
    }
    painter.restore();

    QRect captionRect = rect();
    captionRect.setHeight(captionRect.height() - 3);
    painter.setPen(m_startColor);
    painter.setFont(font);
    painter.drawText(captionRect, Qt::AlignHCenter | Qt::AlignBottom, m_text);
}

void WaitingLoadWidget::closeEvent(QCloseEvent* event)
{
    stopAnimation();
    event->accept();
}

void WaitingLoadWidget::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    m_ticks = 0;
    if (!m_timer->isActive())
        m_timer->start(kTickMs);
}

void WaitingLoadWidget::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    stopAnimation();
}
