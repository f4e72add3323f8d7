#include "app/Language.h"
#include "config/ConfigIni.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSettings>
#include <QTextCodec>
#include <QtTest>

class TestLanguage : public QObject
{
    Q_OBJECT
    void setLangType(const QString& value)
    {
        QSettings settings(namedConfigPath("system.ini"), QSettings::IniFormat);
        settings.setIniCodec(QTextCodec::codecForName("utf8"));
        settings.setValue("BaseSetting/LangType", value);
    }

private slots:
    void cleanup()
    {
        QDir(QCoreApplication::applicationDirPath() + "/config").removeRecursively();
        QLocale::setDefault(QLocale::c());
    }

    void chooseLanguage_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("simplified chinese locale") << ""
                                                   << "zh_CN"
                                                   << "zh_CN";
        QTest::newRow("taiwan locale") << ""
                                       << "zh_TW"
                                       << "zh_TW";
        QTest::newRow("hong kong locale") << ""
                                          << "zh_HK"
                                          << "zh_TW";
        QTest::newRow("singapore locale") << ""
                                          << "zh_SG"
                                          << "zh_TW";
        QTest::newRow("german locale") << ""
                                       << "de_DE"
                                       << "en_US";
        QTest::newRow("setting wins") << "en_US"
                                      << "zh_CN"
                                      << "en_US";
        QTest::newRow("unknown setting kept") << "fr_FR"
                                              << "zh_CN"
                                              << "fr_FR";
    }
    void chooseLanguage()
    {
        QFETCH(QString, stored);
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        if (!stored.isEmpty())
            setLangType(stored);
        QLocale::setDefault(QLocale(locale));
        QCOMPARE(::chooseLanguage(), expected);
    }
};

QTEST_GUILESS_MAIN(TestLanguage)
#include "tst_language.moc"
