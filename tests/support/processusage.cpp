#include "tests/support/processusage.h"

#include <QFile>
#include <QList>

#include <unistd.h>

namespace {

QByteArray readProcFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// utime and stime are fields 14 and 15 of /proc/<pid>/stat. The command name (field 2)
// may hold blanks and parentheses, so count from after its closing parenthesis.
bool cpuTicks(const QByteArray &stat, qint64 *ticks)
{
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0)
        return false;
    const QList<QByteArray> fields = stat.mid(nameEnd + 2).split(' ');
    // fields[0] is field 3 (state), so field n is fields[n - 3].
    if (fields.size() < 13)
        return false;
    bool userOk = false;
    bool systemOk = false;
    *ticks = fields[11].toLongLong(&userOk) + fields[12].toLongLong(&systemOk);
    return userOk && systemOk;
}

// "VmHWM:     12345 kB"
bool statusKiB(const QByteArray &status, const QByteArray &field, qint64 *kib)
{
    for (const QByteArray &line : status.split('\n')) {
        if (!line.startsWith(field))
            continue;
        bool ok = false;
        *kib = line.mid(field.size()).trimmed().split(' ').value(0).toLongLong(&ok);
        return ok;
    }
    return false;
}

} // namespace

ProcessUsage ProcessUsage::of(qint64 pid)
{
    ProcessUsage usage;
    qint64 ticks = 0;
    const QByteArray status = readProcFile(pid, "status");
    if (pid <= 0 || !cpuTicks(readProcFile(pid, "stat"), &ticks) ||
        !statusKiB(status, "VmHWM:", &usage.peakRssKiB) ||
        !statusKiB(status, "VmRSS:", &usage.rssKiB))
        return usage;
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (ticksPerSecond <= 0)
        return usage;
    usage.cpuMilliseconds = ticks * 1000 / ticksPerSecond;
    usage.valid = true;
    return usage;
}
