#pragma once

#include "bus/stopreason.h"
#include "commands/firstbytetimes.h"

#include <QList>
#include <QObject>
#include <QString>

#include <vector>

class ReaderLink;

// What a watch learned about one address.
struct WatchedAddress
{
    explicit WatchedAddress(std::chrono::milliseconds window) : firstBytes(window) {}

    int polls = 0;
    int answers = 0;
    int missRun = 0;
    int longestMissRun = 0;
    bool online = false;
    bool seen = false;
    FirstByteTimes firstBytes; // of the answers

    int misses() const { return polls - answers; }
};

// Polls a range of addresses over and over, with the scan's own poll and listing rule,
// until the link is aborted or the line goes down; tells the moment a reader appears,
// goes or comes back, and keeps a tally per address in fixed memory.
class BusWatch : public QObject
{
    Q_OBJECT
public:
    enum class Change { Online, Gone, Back };

    explicit BusWatch(ReaderLink &link, QObject *parent = nullptr);

    // Both ends lie in 0..126, first <= last.
    void run(int first, int last);

    int passes() const { return m_passes; } // completed ones
    int firstAddress() const { return m_first; }
    const std::vector<WatchedAddress> &addresses() const { return m_addresses; }
    QList<int> online() const;

signals:
    void changed(int address, BusWatch::Change change);
    // While `address` is polled in pass `pass` (from 1).
    void polling(int pass, int address);
    // As BusScan::lateReply, from every pass: a reader may answer late every one.
    void lateReply(int address, int suggestedWindowMs);
    // As BusScan::stopped.
    void stopped(int address, const StopReason &why);
    // As BusScan::notAReadersReply, from every pass.
    void notAReadersReply(int address, const QByteArray &firstBytes);

private:
    void record(int address, bool listed);

    ReaderLink &m_link;
    std::vector<WatchedAddress> m_addresses;
    int m_first = 0;
    int m_next = 0; // the address the current pass polls next
    int m_passes = 0;
};
