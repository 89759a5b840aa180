#include "commands/firstbytetimes.h"

#include <algorithm>

FirstByteTimes::FirstByteTimes(std::chrono::milliseconds window)
    : m_bins(static_cast<std::size_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(window).count() / BinNs + 1))
{}

void FirstByteTimes::add(qint64 nanoseconds)
{
    nanoseconds = std::max<qint64>(nanoseconds, 0);
    if (m_counts.empty())
        m_counts.assign(m_bins, 0);
    // A byte seen only as the window ended may count a little past it.
    const auto bin = std::min(static_cast<std::size_t>(nanoseconds / BinNs), m_bins - 1);
    ++m_counts[bin];
    m_minNs = m_count == 0 ? nanoseconds : std::min(m_minNs, nanoseconds);
    m_maxNs = m_count == 0 ? nanoseconds : std::max(m_maxNs, nanoseconds);
    ++m_count;
}

double FirstByteTimes::medianMs() const
{
    // The lower median, at the middle of its 0.1 ms; kept between min and max, which
    // are exact.
    const qint64 half = (m_count + 1) / 2;
    qint64 seen = 0;
    for (std::size_t bin = 0; bin < m_counts.size(); ++bin) {
        seen += m_counts[bin];
        if (seen >= half) {
            const qint64 middle = static_cast<qint64>(bin) * BinNs + BinNs / 2;
            return static_cast<double>(std::clamp(middle, m_minNs, m_maxNs)) / 1e6;
        }
    }
    return 0;
}
