#pragma once

#include <QByteArray>
#include <QLoggingCategory>

// The line's traffic, one event a line on standard error: the port opened, closed or
// lost, every write, and what waits at the end of each reply window. Off unless the
// program is asked to trace or QT_LOGGING_RULES="rollcall.bus.trace.debug=true" turns it on.
Q_DECLARE_LOGGING_CATEGORY(lcLineTrace)

namespace linetrace {

// Milliseconds since the program started: every trace line begins with it.
double millisecondsSinceStart();

// "85 02 3F 03".
inline QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

} // namespace linetrace
