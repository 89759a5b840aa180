#include "sim/trace.h"

namespace sim {

TraceFormatter::TraceFormatter(qint64 burstGapNanoseconds) : m_gap(burstGapNanoseconds) {}

void TraceFormatter::add(const TraceEntry &entry)
{
    const bool continuesBurst = !m_burst.isEmpty() && entry.direction == m_direction &&
                                entry.nanoseconds - m_lastByte <= m_gap &&
                                m_burst.size() < MaxBytesPerLine;
    if (!continuesBurst) {
        closeBurst();
        m_burstStart = entry.nanoseconds;
        m_direction = entry.direction;
    }
    m_burst.append(char(entry.byte));
    m_lastByte = entry.nanoseconds;
}

void TraceFormatter::closeBurstIfQuiet(qint64 nowNanoseconds)
{
    if (!m_burst.isEmpty() && nowNanoseconds - m_lastByte > m_gap)
        closeBurst();
}

void TraceFormatter::closeBurst()
{
    if (m_burst.isEmpty())
        return;
    m_lines.append(formatLine(m_burstStart, m_direction, m_burst));
    m_burst.clear();
}

QStringList TraceFormatter::takeLines()
{
    QStringList lines;
    lines.swap(m_lines);
    return lines;
}

QString TraceFormatter::formatLine(qint64 nanoseconds, TraceEntry::Direction direction,
                                   const QByteArray &bytes)
{
    const double milliseconds = double(nanoseconds) / 1e6;
    const QChar arrow = direction == TraceEntry::FromProgram ? QLatin1Char('>') : QLatin1Char('<');
    return QStringLiteral("%1 %2 %3")
        .arg(milliseconds, 10, 'f', 3)
        .arg(arrow)
        .arg(QString::fromLatin1(bytes.toHex(' ').toUpper()));
}

QString formatTrace(const QList<TraceEntry> &entries)
{
    TraceFormatter formatter;
    for (const TraceEntry &entry : entries)
        formatter.add(entry);
    formatter.closeBurst();

    QString text;
    for (const QString &line : formatter.takeLines()) {
        text += line;
        text += QLatin1Char('\n');
    }
    return text;
}

} // namespace sim
