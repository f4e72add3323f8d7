#pragma once

#include <QMetaType>

// The kind of one log line; the serial-port kinds go to a file of their own.
enum MsgType : int
{
    Info = 0,
    SerialPortRead = 1,
    SerialPortWrite = 2,
};
Q_DECLARE_METATYPE(MsgType)
