#pragma once

class QWidget;

// Moves `widget` so that its centre sits on a point of `reference` (the active
// window when null) chosen by `alignment`: a quarter of the way across for
// Qt::AlignLeft, a quarter of the way down for Qt::AlignTop, three quarters for
// Qt::AlignRight and Qt::AlignBottom, the middle for anything else. Does
// nothing when there is no widget or no reference.
void alignToWindow(QWidget* widget, QWidget* reference, int alignment);
