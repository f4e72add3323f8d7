#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Update packages for tests, written in-process by the publisher's own
// writer, so that every system makes them alike without a zip tool.

// Writes `files` (relative '/'-separated path -> content) as the package
// `zipPath`. False with the reason.
bool writeTestPackage(const QString& zipPath, const QMap<QString, QByteArray>& files,
                      QString& errorText);
// `content` in the gzip format, as a server sends a body with
// "Content-Encoding: gzip".
QByteArray gzipEncoded(const QByteArray& content);
