#pragma once

// Expiry times of signed documents: "YYYY-MM-DDTHH:MM:SSZ" in UTC, whole
// seconds, and no other spelling, so that every tool reads them alike.

#include <QDateTime>
#include <QString>

bool parseUtcTimestamp(const QString& text, QDateTime& time);
QString formatUtcTimestamp(const QDateTime& time);
