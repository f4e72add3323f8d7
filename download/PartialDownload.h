#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// What a download that did not finish leaves beside its part file, so that a
// later attempt, also by a later run of the program, asks only for the rest.
// Appending is safe only while the server still has the bytes the part came
// from, which the validator lets the server tell.
struct PartialDownload
{
    QUrl url;
    QByteArray validator;     // a strong ETag, else Last-Modified, exactly as the server sent it
    qint64 totalLength = -1;  // the whole file as the server announced it; -1: not known
    qint64 signedLength = -1; // -1: nothing signed
    QByteArray signedSha256;

    // The part file and the record of a download into `filePath`.
    static QString partPath(const QString& filePath);
    static QString recordPath(const QString& filePath);
    // The record beside `filePath`; an empty one when there is none or it
    // cannot be read, which resumes nothing.
    static PartialDownload read(const QString& filePath);
    // Replaces the record in one step: a crash leaves the old one or the new one.
    bool write(const QString& filePath) const;
    // Removes part and record.
    static void remove(const QString& filePath);

    // The length of the whole file: the signed one, else the announced one.
    qint64 expectedLength() const { return signedLength >= 0 ? signedLength : totalLength; }
    // A part may only be continued by the same address for the same signed
    // content (or both unsigned).
    bool isFor(const QUrl& otherUrl, qint64 otherSignedLength,
               const QByteArray& otherSignedSha256) const;
    // A part of `partSize` bytes can be continued with a range request.
    bool canResume(qint64 partSize) const;
};
