#include "widgets/AlignToWindow.h"

#include <QApplication>
#include <QRect>
#include <QWidget>

namespace {

struct Anchor
{
    double x;
    double y;
};

// Fractions of the reference's width and height where the widget's centre goes.
// Only exact values count; combined flags fall back to the middle.
Anchor anchorFor(int alignment)
{
    switch (alignment) {
    case Qt::AlignLeft:
        return {0.25, 0.5};
    case Qt::AlignTop:
        return {0.5, 0.25};
    case Qt::AlignRight:
        return {0.75, 0.5};
    case Qt::AlignBottom:
        return {0.5, 0.75};
    default:
        return {0.5, 0.5};
    }
}

} // namespace

void alignToWindow(QWidget* widget, QWidget* reference, int alignment)
{
    if (!reference)
        reference = QApplication::activeWindow();
    if (!widget || !reference)
        return;

    const QRect r = reference->geometry();
    const Anchor anchor = anchorFor(alignment);
    // Conversion to int truncates toward zero, also left of or above the
    // primary screen.
    const int x = static_cast<int>(r.x() + r.width() * anchor.x - widget->width() / 2);
    const int y = static_cast<int>(r.y() + r.height() * anchor.y - widget->height() / 2);
    widget->move(x, y);
}
