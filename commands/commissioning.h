#pragma once

#include "bus/stopreason.h"

#include <QList>
#include <QObject>

#include <chrono>
#include <optional>

class ReaderLink;

// Gives new readers, connected one at a time at address 0, the free addresses from a
// first one up: the loop a technician runs on a new site. Each reader is given its
// address with the same exchanges and full reply windows as a single assignment, and
// the move is confirmed: the new address answers and 0 falls silent.
class Commissioning : public QObject
{
    Q_OBJECT
public:
    // While nothing answers at 0, it is polled no more often than this: the bus stays
    // free for the readers already addressed, and a reader just connected is found
    // within a second.
    static constexpr std::chrono::milliseconds WaitingPeriod{1000};

    // Finished: the last address was given. NoFreeAddress: a reader waits at 0 and every
    // address left up to the last answers already. Stopped: the line went down, another
    // master talks on it (stopped() says which), or the program is closing.
    enum class Outcome { Finished, NoFreeAddress, Stopped };

    explicit Commissioning(ReaderLink &link, QObject *parent = nullptr);

    Outcome run(int firstAddress, int lastAddress);
    // The addresses given so far, in order.
    QList<int> given() const { return m_given; }
    // The address the run would give or try next.
    int nextAddress() const { return m_next; }

signals:
    // Nothing answers at 0: the next reader may be connected.
    void waiting();
    // A reader answers alone at 0.
    void found();
    // `address` answers already: the next one is tried.
    void skippedTaken(int address);
    // What answers at `address` is no single reader's reply, or 0 still answers after a
    // reader moved from it: more than one reader is connected. Nothing is given until 0
    // is silent or one reader answers there alone.
    void severalReaders(int address);
    // The reader at 0 answers at `address` now; `count` readers have been given one.
    void assigned(int address, int count);
    // After two set-address frames the reader at 0 does not answer at `address`. The run
    // goes on once 0 has fallen silent: the reader was taken away.
    void notTaken(int address);
    // Why the run stopped, as ReaderLink::stopReason().
    void stopped(const StopReason &why);

private:
    enum class Heard { Nothing, OneReader, Several };

    std::optional<Heard> heardAt(int address);
    bool awaitReader();
    bool restUntilNextPoll();
    std::optional<int> nextFreeAddress(int lastAddress);
    bool give(int address);
    Outcome stop();

    ReaderLink &m_link;
    QList<int> m_given;
    int m_next = 0;
    bool m_mustFallSilent = false; // a reader that did not take its address is still at 0
    qint64 m_lastPollAtNs = -1;
};
