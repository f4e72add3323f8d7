#pragma once

#include "log/MsgType.h"

#include <QByteArray>
#include <QString>

// One finished log line as it is queued for the log consoles.
struct LogStruct
{
    int type = Info;
    QString content;

    // The record's wire form: compact JSON {"text": content, "type": type}.
    QByteArray toJson() const;
};
