#include "app/Language.h"

#include "config/ConfigIni.h"

#include <QLocale>

QString languageFromLocale(const QLocale& locale)
{
    if (locale.language() != QLocale::Chinese)
        return QStringLiteral("en_US");
    return locale.country() == QLocale::China ? QStringLiteral("zh_CN") : QStringLiteral("zh_TW");
}

QString chooseLanguage()
{
    const QString configured =
        readConfigFileValue(QStringLiteral("BaseSetting"), QStringLiteral("LangType"), QString(),
                            QStringLiteral("system.ini"));
    return configured.isEmpty() ? languageFromLocale(QLocale()) : configured;
}
