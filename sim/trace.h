#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace sim {

struct TraceEntry
{
    qint64 nanoseconds = 0; // since the bus was created (steady clock)
    enum Direction { FromProgram, ToProgram } direction = FromProgram;
    quint8 byte = 0;
};

// Turns trace entries into a line monitor: one line per burst, e.g.
//   "    12.345 > 06 83 02 3F 03"
// A burst is a run of bytes in one direction with no gap longer than the burst gap.
// Entries can be fed as they arrive; a burst is only printed once it is known to be over.
class TraceFormatter
{
public:
    static constexpr qint64 DefaultBurstGap = 1'000'000; // 1 ms
    static constexpr int MaxBytesPerLine = 32;

    explicit TraceFormatter(qint64 burstGapNanoseconds = DefaultBurstGap);

    void add(const TraceEntry &entry);
    // Ends the open burst if nothing was added to it for longer than the burst gap.
    void closeBurstIfQuiet(qint64 nowNanoseconds);
    void closeBurst();
    QStringList takeLines();

    static QString formatLine(qint64 nanoseconds, TraceEntry::Direction direction,
                              const QByteArray &bytes);

private:
    qint64 m_gap;
    qint64 m_burstStart = 0;
    qint64 m_lastByte = 0;
    TraceEntry::Direction m_direction = TraceEntry::FromProgram;
    QByteArray m_burst;
    QStringList m_lines;
};

// The whole trace, one '\n'-terminated line per burst.
QString formatTrace(const QList<TraceEntry> &entries);

} // namespace sim
