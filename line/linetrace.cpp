#include "line/linetrace.h"

#include <QElapsedTimer>

Q_LOGGING_CATEGORY(lcLineTrace, "rollcall.bus.trace", QtWarningMsg)

namespace {

QElapsedTimer startedNow()
{
    QElapsedTimer timer;
    timer.start();
    return timer;
}

// Started while the program loads, before main() runs.
const QElapsedTimer sinceStart = startedNow();

} // namespace

double linetrace::millisecondsSinceStart()
{
    return static_cast<double>(sinceStart.nsecsElapsed()) / 1e6;
}
