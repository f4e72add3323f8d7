#pragma once

#include <QString>

class QLocale;

// The interface language: "LangType" of config/system.ini, used as stored,
// or else one derived from the locale.
QString chooseLanguage();
QString languageFromLocale(const QLocale& locale);
