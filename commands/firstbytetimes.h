#pragma once

#include <QtGlobal>

#include <chrono>
#include <vector>

// The first-byte times of one address over a watch of any length, in fixed memory: one
// counter per 0.1 ms from 0 to the reply window (no reply is seen later than the window
// ends), so the median is exact to the 0.1 ms the times are shown in. Nothing is
// allocated until the first time comes.
class FirstByteTimes
{
public:
    explicit FirstByteTimes(std::chrono::milliseconds window);

    void add(qint64 nanoseconds);
    qint64 count() const { return m_count; }
    // In milliseconds; 0 while count() is 0.
    double minMs() const { return static_cast<double>(m_minNs) / 1e6; }
    double medianMs() const;
    double maxMs() const { return static_cast<double>(m_maxNs) / 1e6; }

private:
    static constexpr qint64 BinNs = 100'000;

    std::size_t m_bins;
    std::vector<quint32> m_counts;
    qint64 m_count = 0;
    qint64 m_minNs = 0;
    qint64 m_maxNs = 0;
};
