#include "widgets/FontSubstitutions.h"

#include <QFont>
#include <QString>
#include <QStringList>

void installFontSubstitutions()
{
    // Free CJK sans faces; each carries Latin glyphs as well.
    const QStringList cjkSans = {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "Source Han Sans SC",
                                 "Droid Sans Fallback"};
    // A Latin face that looks like Arial first, the CJK faces after it for
    // Chinese texts set in "Arial".
    QStringList latinSans = {"Liberation Sans", "Arimo", "DejaVu Sans"};
    latinSans += cjkSans;

    QFont::insertSubstitutions(QString::fromUtf8("微软雅黑"), cjkSans);
    QFont::insertSubstitutions("Microsoft Yahei", cjkSans);
    QFont::insertSubstitutions("Microsoft YaHei UI", cjkSans);
    QFont::insertSubstitutions("Arial", latinSans);
}
