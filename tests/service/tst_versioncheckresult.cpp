// How the version-check record reads the service's "data" and picks the
// release notes for a language.

#include "service/VersionCheckResult.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class VersionCheckResultTest : public QObject
{
    Q_OBJECT

private slots:
    void fillFromJsonTypeRules_data();
    void fillFromJsonTypeRules();
    void fillFromJsonKeepsAbsentMembers();
    void releaseNotes_data();
    void releaseNotes();
};

namespace {

QJsonObject object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

VersionCheckResult filledRecord()
{
    VersionCheckResult result;
    result.fillFromJson(object(R"({"platformType":"2","softwareRoot":"r","version":"2.0",)"
                               R"("minVersion":"1.0","maxVersion":"3.0","forceVersion":"1.5",)"
                               R"("url":"http://h/p.zip","noteJson":"{}","needUpdate":true,)"
                               R"("forceUpdate":true})"));
    return result;
}

} // namespace

void VersionCheckResultTest::fillFromJsonTypeRules_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("needUpdate");
    QTest::addColumn<bool>("forceUpdate");
    QTest::newRow("proper types") << QByteArray(R"({"version":"2.1.0","url":"u",)"
                                                R"("needUpdate":true,"forceUpdate":false})")
                                  << "2.1.0"
                                  << "u" << true << false;
    QTest::newRow("boolean as string")
        << QByteArray(R"({"needUpdate":"true","forceUpdate":1})") << "2.0"
        << "http://h/p.zip" << false << false;
    QTest::newRow("string as number") << QByteArray(R"({"version":2.1,"url":null})") << ""
                                      << "" << true << true;
    QTest::newRow("string as object") << QByteArray(R"({"version":{"v":"2"}})") << ""
                                      << "http://h/p.zip" << true << true;
}

void VersionCheckResultTest::fillFromJsonTypeRules()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, version);
    QFETCH(QString, url);
    QFETCH(bool, needUpdate);
    QFETCH(bool, forceUpdate);
    // Starting from a filled record shows that a mistyped member overwrites.
    VersionCheckResult result = filledRecord();
    result.fillFromJson(object(data));
    QCOMPARE(result.version, version);
    QCOMPARE(result.url, url);
    QCOMPARE(result.needUpdate, needUpdate);
    QCOMPARE(result.forceUpdate, forceUpdate);
}

void VersionCheckResultTest::fillFromJsonKeepsAbsentMembers()
{
    VersionCheckResult result = filledRecord();
    result.fillFromJson(object(R"({"url":"other"})"));
    QCOMPARE(result.platformType, QStringLiteral("2"));
    QCOMPARE(result.softwareRoot, QStringLiteral("r"));
    QCOMPARE(result.minVersion, QStringLiteral("1.0"));
    QCOMPARE(result.maxVersion, QStringLiteral("3.0"));
    QCOMPARE(result.forceVersion, QStringLiteral("1.5"));
    QCOMPARE(result.noteJson, QStringLiteral("{}"));
    QCOMPARE(result.url, QStringLiteral("other"));
}

void VersionCheckResultTest::releaseNotes_data()
{
    QTest::addColumn<QString>("noteJson");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("expected");
    const QString both = QStringLiteral(R"({"zh_CN":"A","default":"B"})");
    QTest::newRow("own language") << both << "zh_CN"
                                  << "A";
    QTest::newRow("other language takes default") << both << "en_US"
                                                  << "B";
    QTest::newRow("names are case-sensitive") << both << "zh_cn"
                                              << "B";
    QTest::newRow("no match, no default") << R"({"en_US":"A"})"
                                          << "zh_TW"
                                          << "";
    QTest::newRow("plain text") << "new features"
                                << "zh_CN"
                                << "";
    QTest::newRow("empty") << ""
                           << "zh_CN"
                           << "";
    QTest::newRow("non-string does not fall back") << R"({"zh_CN":5,"default":"B"})"
                                                   << "zh_CN"
                                                   << "";
    QTest::newRow("non-string default") << R"({"default":["B"]})"
                                        << "en_US"
                                        << "";
    QTest::newRow("UTF-8 notes") << QString::fromUtf8(R"({"zh_CN":"修复问题"})") << "zh_CN"
                                 << QString::fromUtf8("修复问题");
}

void VersionCheckResultTest::releaseNotes()
{
    QFETCH(QString, noteJson);
    QFETCH(QString, language);
    QFETCH(QString, expected);
    VersionCheckResult result;
    result.noteJson = noteJson;
    QCOMPARE(result.releaseNotes(language), expected);
}

QTEST_APPLESS_MAIN(VersionCheckResultTest)
#include "tst_versioncheckresult.moc"
