#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The command line of vaderoru-publish: one command, its argument and its
// options, checked against what that command takes before anything runs, so
// that a typo never leaves half of a release behind.
class PublishOptions
{
public:
    QString command;
    QStringList arguments;
    bool help = false;

    bool parse(const QStringList& commandLine, QString& errorText);

    bool isSet(const QString& option) const { return m_values.contains(option); }
    QString value(const QString& option) const { return m_values.value(option).value(0); }
    QStringList values(const QString& option) const { return m_values.value(option); }
    qint64 number(const QString& option) const { return value(option).toLongLong(); }

    static QString helpText();

private:
    QMap<QString, QStringList> m_values;
};
