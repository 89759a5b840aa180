#include "commands/commissioning.h"

#include "bus/frames.h"
#include "bus/readerlink.h"

Commissioning::Commissioning(ReaderLink &link, QObject *parent) : QObject(parent), m_link(link) {}

Commissioning::Outcome Commissioning::run(int firstAddress, int lastAddress)
{
    m_given.clear();
    m_next = firstAddress;
    m_mustFallSilent = false;
    while (m_next <= lastAddress) {
        if (!awaitReader())
            return stop();
        const std::optional<int> address = nextFreeAddress(lastAddress);
        if (!address)
            return stop();
        if (*address > lastAddress)
            return Outcome::NoFreeAddress;
        if (!give(*address))
            return stop();
    }
    return Outcome::Finished;
}

// As a single assignment judges: any reply of two bytes or more means someone is there;
// only one that a reader sends, its echo whole, means one reader alone.
std::optional<Commissioning::Heard> Commissioning::heardAt(int address)
{
    const ReaderLink::Poll poll = m_link.poll(address);
    m_lastPollAtNs = m_link.lastPollSentAtNs();
    if (poll == ReaderLink::Poll::Stopped)
        return std::nullopt;
    if (poll == ReaderLink::Poll::Absent)
        return Heard::Nothing;
    const QByteArray reply = m_link.lastReply();
    const bool oneReader =
        !reply.isEmpty() && frames::isReplyStart(reply.front()) && !m_link.lastEchoChanged();
    if (!m_link.acknowledge())
        return std::nullopt;
    return oneReader ? Heard::OneReader : Heard::Several;
}

// Until one reader answers alone at 0, and not the one that would not move. Each change
// of what is heard there is said once.
bool Commissioning::awaitReader()
{
    std::optional<Heard> said;
    for (;;) {
        const std::optional<Heard> heard = heardAt(0);
        if (!heard)
            return false;
        if (*heard == Heard::Nothing)
            m_mustFallSilent = false;
        else if (*heard == Heard::OneReader && !m_mustFallSilent) {
            emit found();
            return true;
        }
        if (*heard != said) {
            if (*heard == Heard::Nothing)
                emit waiting();
            else if (*heard == Heard::Several)
                emit severalReaders(frames::FirstAddress);
            said = heard;
        }
        if (!restUntilNextPoll())
            return false;
    }
}

bool Commissioning::restUntilNextPoll()
{
    const std::chrono::nanoseconds left =
        std::chrono::nanoseconds(WaitingPeriod) -
        std::chrono::nanoseconds(m_link.clockNs() - m_lastPollAtNs);
    return left.count() <= 0 || m_link.rest(left);
}

// The first address from the next one up that nobody answers at; past `lastAddress` when
// every one answers. Nothing when the run is to stop.
std::optional<int> Commissioning::nextFreeAddress(int lastAddress)
{
    for (; m_next <= lastAddress; ++m_next) {
        const std::optional<Heard> heard = heardAt(m_next);
        if (!heard)
            return std::nullopt;
        if (*heard == Heard::Nothing)
            return m_next;
        emit skippedTaken(m_next);
    }
    return m_next;
}

// False when the run is to stop.
bool Commissioning::give(int address)
{
    constexpr int Attempts = 2;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (!m_link.sendSetAddress(address))
            return false;
        const std::optional<Heard> atNew = heardAt(address);
        if (!atNew)
            return false;
        if (*atNew == Heard::Nothing)
            continue;
        ++m_next; // someone answers there now
        if (*atNew == Heard::Several) {
            emit severalReaders(address); // both took it
            return true;
        }
        const std::optional<Heard> atZero = heardAt(frames::FirstAddress);
        if (!atZero)
            return false;
        m_given << address;
        emit assigned(address, int(m_given.size()));
        if (*atZero != Heard::Nothing)
            emit severalReaders(frames::FirstAddress);
        return true;
    }
    emit notTaken(address);
    m_mustFallSilent = true;
    return true;
}

Commissioning::Outcome Commissioning::stop()
{
    const std::optional<StopReason> why = m_link.stopReason();
    m_link.closeAfterStop();
    if (why)
        emit stopped(*why);
    return Outcome::Stopped;
}
