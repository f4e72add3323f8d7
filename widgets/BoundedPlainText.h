#pragma once

#include <QString>

// Text from outside the program (release notes from a server, say) made fit
// for a plain-text view: at most `maxUtf8Bytes` of it, with `cutNotice` on a
// line of its own where it was cut, and no line longer than
// kMaxBoundedLineLength characters. A text view lays out one long line in
// time that grows with the square of its length, so longer lines are broken,
// at a space where one is near the limit.
inline constexpr int kMaxBoundedLineLength = 1000;
QString boundedPlainText(const QString& text, int maxUtf8Bytes, const QString& cutNotice);
