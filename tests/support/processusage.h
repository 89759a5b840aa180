#pragma once

#include <QtGlobal>

// What a running process has cost so far, read from /proc. Read it before the process
// is reaped: afterwards its /proc entry is gone.
struct ProcessUsage
{
    bool valid = false;
    qint64 cpuMilliseconds = 0; // user + system time
    qint64 peakRssKiB = 0;      // VmHWM
    qint64 rssKiB = 0;          // VmRSS, resident now

    static ProcessUsage of(qint64 pid);
};
