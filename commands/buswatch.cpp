#include "commands/buswatch.h"

#include "bus/readerlink.h"
#include "commands/busscan.h"

BusWatch::BusWatch(ReaderLink &link, QObject *parent) : QObject(parent), m_link(link) {}

void BusWatch::run(int first, int last)
{
    m_first = first;
    const int count = last - first + 1;
    m_addresses.assign(static_cast<std::size_t>(count), WatchedAddress(m_link.replyWindow()));
    BusScan scan(m_link);
    connect(&scan, &BusScan::addressChecked, this, &BusWatch::record);
    // The scan shows its progress once per address, while the reader has its time to
    // answer, and once more with its result.
    connect(&scan, &BusScan::statusChanged, this, [this, last] {
        if (m_next <= last)
            emit polling(m_passes + 1, m_next);
    });
    connect(&scan, &BusScan::lateReply, this, &BusWatch::lateReply);
    connect(&scan, &BusScan::notAReadersReply, this, &BusWatch::notAReadersReply);
    bool lineDown = false;
    connect(&scan, &BusScan::stopped, this, [this, &lineDown](int address, const StopReason &why) {
        lineDown = true;
        emit stopped(address, why);
    });
    while (!lineDown && !m_link.isAborted()) {
        m_next = first;
        scan.run(first, last);
        if (m_next > last)
            ++m_passes;
    }
}

QList<int> BusWatch::online() const
{
    QList<int> addresses;
    for (std::size_t i = 0; i < m_addresses.size(); ++i) {
        if (m_addresses[i].online)
            addresses << m_first + static_cast<int>(i);
    }
    return addresses;
}

void BusWatch::record(int address, bool listed)
{
    m_next = address + 1;
    WatchedAddress &watched = m_addresses[static_cast<std::size_t>(address - m_first)];
    ++watched.polls;
    if (!listed) {
        watched.longestMissRun = std::max(watched.longestMissRun, ++watched.missRun);
        if (watched.online) {
            watched.online = false;
            emit changed(address, Change::Gone);
        }
        return;
    }
    ++watched.answers;
    watched.missRun = 0;
    watched.firstBytes.add(m_link.lastFirstByteNs());
    if (!watched.online) {
        const Change change = watched.seen ? Change::Back : Change::Online;
        watched.online = watched.seen = true;
        emit changed(address, change);
    }
}
