#include "commands/busscan.h"

#include "bus/frames.h"
#include "bus/readerlink.h"
#include "line/linetrace.h"

#include <QElapsedTimer>
#include <QLoggingCategory>

#include <algorithm>
#include <utility>
#include <vector>

// QT_LOGGING_RULES="rollcall.commands.debug=true" reports how long each scan took.
Q_LOGGING_CATEGORY(lcScan, "rollcall.commands", QtWarningMsg)

BusScan::BusScan(ReaderLink &link, QObject *parent) : QObject(parent), m_link(link) {}

QString BusScan::listEntry(int address)
{
    return tr("Address %1").arg(frames::addressText(address));
}

QString BusScan::progressText(int address)
{
    return tr("Checking Address %1").arg(frames::addressText(address));
}

QString BusScan::resultText(int readersFound)
{
    if (readersFound == 0)
        return tr("There are no readers online");
    // Operators know this wording, "1 readers" included; it stays as it has always read.
    return tr("There are %1 readers online").arg(readersFound);
}

int BusScan::suggestedWindowMs(qint64 replyAfterNs)
{
    constexpr qint64 Step = 10; // ms
    const qint64 full = ReaderLink::ReplyWindow.count();
    const qint64 tripledMs = (3 * replyAfterNs + 999'999) / 1'000'000;
    return static_cast<int>(std::clamp((tripledMs + Step - 1) / Step * Step, Step, full));
}

void BusScan::run(int first, int last)
{
    QElapsedTimer took;
    took.start();
    m_aloneNs = 0;
    m_alonePolls = 0;
    emit listCleared();
    int found = 0;
    const bool shortWindow = m_link.isWindowShort();
    for (int address = first; address <= last; ++address) {
        const bool sent = m_link.sendPoll(address);
        // Said while the reader has its time to answer: a front end shows it in the
        // wait's first pass either way, and the work is done inside the window rather
        // than between two of them.
        emit statusChanged(progressText(address));
        const ReaderLink::Poll poll = sent ? m_link.awaitReply() : ReaderLink::Poll::Stopped;
        const std::optional<bool> judged =
            poll == ReaderLink::Poll::Stopped ? std::nullopt : judge(address, poll, shortWindow);
        if (!judged) {
            stopAt(address);
            return;
        }
        const bool listed = *judged;
        if (listed) {
            emit readerListed(listEntry(address), address);
            ++found;
        }
        emit addressChecked(address, listed);
        if (shortWindow && m_lateBytesAtNs >= 0 && !traceLateReply()) {
            stopAt(address);
            return;
        }
    }
    emit statusChanged(resultText(found));
    qCDebug(lcScan,
            "scan of %d addresses took %lld ms, %d readers listed; %lld ms of it polling %d alone",
            last - first + 1, static_cast<long long>(took.elapsed()), found,
            static_cast<long long>(m_aloneNs / 1'000'000), m_alonePolls);
}

// Whether the poll of `address` found a reader; nothing when the line went down.
std::optional<bool> BusScan::judge(int address, ReaderLink::Poll poll, bool shortWindow)
{
    const qint64 waiting = m_link.lastBytesWaiting();
    if (waiting > 0)
        emit replyReceived(address, m_link.lastFirstByteNs(), waiting);
    bool listed = false;
    if (poll == ReaderLink::Poll::Present) {
        // The rest of the reply is discarded by the next poll.
        const std::optional<char> firstByte = m_link.readReplyByte();
        if (!firstByte)
            return std::nullopt;
        listed = isReadersReply(*firstByte);
    }
    // At a short window the bytes may be an earlier poll's late reply: not named.
    if (!listed && waiting > 0 && !shortWindow)
        emit notAReadersReply(address, m_link.lastReply());
    if (shortWindow)
        return checkShortWindow(address, listed, waiting > 1);
    return listed;
}

// Only a reply that starts with STX or ACK is a reader's, and never an echo come back
// changed.
bool BusScan::isReadersReply(char firstByte) const
{
    return frames::isReplyStart(firstByte) && !m_link.lastEchoChanged();
}

// A reader found at a short window is polled alone; bytes that came after a window, or
// a window whose reply nobody gives alone, mean a reply came late. Nothing when the line
// went down.
std::optional<bool> BusScan::checkShortWindow(int address, bool listed, bool answered)
{
    const qint64 sentAtNs = m_link.lastPollSentAtNs();
    const qint64 firstByteAtNs = sentAtNs + m_link.lastFirstByteNs();
    // Polls older than the full window cannot answer any more; twice that keeps those a
    // byte noted just before this poll may still name.
    const qint64 full = std::chrono::nanoseconds(ReaderLink::ReplyWindow).count();
    while (!m_recent.empty() && m_recent.front().sentAtNs < sentAtNs - 2 * full)
        m_recent.pop_front();
    m_recent.push_back({address, sentAtNs, answered});
    noteLateBytes(m_link.takeLateBytesAt()); // between the last window and this poll
    if (!listed)
        return false;

    const std::optional<ReaderLink::Poll> alone = pollAlone(address);
    if (!alone)
        return std::nullopt;
    noteLateBytes(m_link.takeLateBytesAt()); // while the line fell quiet
    bool confirmed = false;
    if (*alone == ReaderLink::Poll::Present) {
        const std::optional<char> firstByte = m_link.readReplyByte();
        if (!firstByte)
            return std::nullopt;
        confirmed = isReadersReply(*firstByte);
    } else {
        qCDebug(lcLineTrace, "%.3f ms %03d not found alone: its window held a late reply",
                linetrace::millisecondsSinceStart(), address);
        noteLateBytes(firstByteAtNs);
    }
    return confirmed;
}

void BusScan::noteLateBytes(std::optional<qint64> arrivedAtNs)
{
    if (arrivedAtNs && (m_lateBytesAtNs < 0 || *arrivedAtNs < m_lateBytesAtNs))
        m_lateBytesAtNs = *arrivedAtNs;
}

std::optional<ReaderLink::Poll> BusScan::pollAlone(int address)
{
    const qint64 fromNs = m_link.clockNs();
    const ReaderLink::Poll poll = m_link.pollAlone(address);
    m_aloneNs += m_link.clockNs() - fromNs;
    ++m_alonePolls;
    if (poll == ReaderLink::Poll::Stopped)
        return std::nullopt;
    return poll;
}

// Asks the polls that could have sent bytes that came at m_lateBytesAtNs, each alone:
// those within the full window before it whose own window held nothing, the most recent
// first, and readers found late before them all. The first that answers is the late
// reader. False when the line went down.
bool BusScan::traceLateReply()
{
    const qint64 arrivedAtNs = std::exchange(m_lateBytesAtNs, -1);
    const qint64 full = std::chrono::nanoseconds(ReaderLink::ReplyWindow).count();
    struct Suspect
    {
        int address;
        qint64 earliestSentAtNs;
    };
    std::vector<Suspect> suspects;
    for (auto it = m_recent.rbegin(); it != m_recent.rend(); ++it) {
        if (it->answered || it->sentAtNs >= arrivedAtNs || arrivedAtNs - it->sentAtNs > full)
            continue;
        // Of several polls of one address, which one answered is not known; the
        // earliest gives the longer, safer, suggestion.
        const auto same = std::find_if(suspects.begin(), suspects.end(),
                                       [&](const Suspect &s) { return s.address == it->address; });
        if (same == suspects.end())
            suspects.push_back({it->address, it->sentAtNs});
        else
            same->earliestSentAtNs = it->sentAtNs;
    }
    std::stable_partition(suspects.begin(), suspects.end(),
                          [this](const Suspect &s) { return m_lateReaders.count(s.address) > 0; });
    for (const Suspect &suspect : suspects) {
        const std::optional<ReaderLink::Poll> alone = pollAlone(suspect.address);
        if (!alone)
            return false;
        if (*alone != ReaderLink::Poll::Present)
            continue;
        m_lateReaders.insert(suspect.address);
        // Traced by whoever tells the operator, in the words they are told.
        emit lateReply(suspect.address, suggestedWindowMs(arrivedAtNs - suspect.earliestSentAtNs));
        return true;
    }
    qCDebug(lcLineTrace, "%.3f ms bytes came after their window; no earlier poll answers alone",
            linetrace::millisecondsSinceStart());
    return true;
}

void BusScan::stopAt(int address)
{
    const std::optional<StopReason> why = m_link.stopReason();
    m_link.closeAfterStop();
    if (why)
        emit stopped(address, *why);
}
