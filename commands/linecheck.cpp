#include "commands/linecheck.h"

#include "bus/frames.h"
#include "bus/readerlink.h"
#include "commands/busscan.h"
#include "line/linetrace.h"

namespace {

// The start of a reader's reply: STX or ACK first.
bool startsLikeAReply(const QByteArray &bytes)
{
    return !bytes.isEmpty() && frames::isReplyStart(bytes.front());
}

// As the scan lists a reader: more than one byte, STX or ACK first.
bool isAReadersReply(qint64 bytesWaiting, const QByteArray &firstBytes)
{
    return bytesWaiting > 1 && startsLikeAReply(firstBytes);
}

} // namespace

LineCheck::LineCheck(ReaderLink &link, QObject *parent) : QObject(parent), m_link(link)
{
    connect(&m_link, &ReaderLink::echoSetAside, this, [this] { m_echoSetAside = true; });
}

LineFindings LineCheck::run()
{
    m_findings = LineFindings();
    m_readers.clear();
    m_firstBytes.clear();
    m_candidates.clear();
    const std::chrono::milliseconds window = m_link.replyWindow();
    m_link.setReplyWindow(ScanWindow);

    BusScan scan(m_link);
    connect(&scan, &BusScan::statusChanged, this, &LineCheck::statusChanged);
    connect(&scan, &BusScan::replyReceived, this, &LineCheck::onReplyReceived);
    connect(&scan, &BusScan::addressChecked, this, &LineCheck::onAddressChecked);
    // Emitted right after the poll alone that found the reader: the link still holds
    // that poll's times.
    connect(&scan, &BusScan::lateReply, this, [this](int address, int /*suggestedWindowMs*/) {
        m_readers[address] = {address, m_link.lastFirstByteNs(), true};
        noteEcho();
        qCDebug(lcLineTrace, "%.3f ms %03d answered after the window: first byte at %.1f ms alone",
                linetrace::millisecondsSinceStart(), address,
                static_cast<double>(m_link.lastFirstByteNs()) / 1e6);
    });
    connect(&scan, &BusScan::stopped, this, [this](int address, const StopReason &why) {
        m_findings.stop = why;
        m_findings.stoppedAt = address;
    });
    scan.run();
    if (!m_findings.stop && !m_link.isAborted())
        pollStrangersAlone();
    m_link.setReplyWindow(window);

    for (const auto &[address, reader] : m_readers)
        m_findings.readers.append(reader);
    m_findings.strangers = m_candidates;
    if (m_findings.echoesChanged > 0)
        m_findings.echo = LineFindings::Echo::Changed;
    else if (m_findings.windows > 0)
        m_findings.echo = m_echoSetAside ? LineFindings::Echo::SetAside : LineFindings::Echo::None;
    return m_findings;
}

// After each of the scan's own windows that held anything; the link still holds it.
void LineCheck::onReplyReceived(int address, qint64 firstByteNs, qint64 bytesWaiting)
{
    m_firstBytes[address] = firstByteNs;
    if (noteEchoChanged(address))
        return;
    const QByteArray firstBytes = m_link.lastReply();
    // At the short window these may be an earlier poll's late reply: judged alone later.
    if (!isAReadersReply(bytesWaiting, firstBytes))
        m_candidates.append({address, firstBytes, LineFindings::Stranger::Alone::NotPolled});
}

// A reader listed at the short window has been confirmed by a poll of it alone.
void LineCheck::onAddressChecked(int address, bool listed)
{
    ++m_findings.windows;
    noteEcho();
    if (!listed)
        return;
    const auto timed = m_firstBytes.find(address);
    m_readers[address] = {address, timed == m_firstBytes.end() ? -1 : timed->second, false};
}

void LineCheck::noteEcho()
{
    const qint64 echoNs = m_link.lastEchoNs();
    if (m_echoSetAside && echoNs >= 0)
        m_findings.echoNs.append(echoNs);
}

bool LineCheck::noteEchoChanged(int address)
{
    if (!m_link.lastEchoChanged())
        return false;
    if (m_findings.echoesChanged++ == 0) {
        m_findings.firstEchoChangedAt = address;
        m_findings.firstEchoChanged = m_link.lastReply();
    }
    return true;
}

// Each such window's address, alone with the full window: bytes no reader sends again
// are a stranger there; a reader's reply means its reply outlasted the short window;
// nothing means the bytes were not its own. The start of a reader's reply cut off by the
// short window is then an earlier reader's late reply, which the scan traced already.
void LineCheck::pollStrangersAlone()
{
    using Stranger = LineFindings::Stranger;
    QList<Stranger> strangers;
    int polled = 0;
    for (Stranger candidate : std::as_const(m_candidates)) {
        if (polled == MostPolledAlone) {
            strangers.append(candidate);
            continue;
        }
        ++polled;
        emit statusChanged(BusScan::progressText(candidate.address));
        if (m_link.pollAlone(candidate.address) == ReaderLink::Poll::Stopped) {
            stopAt(candidate.address);
            return;
        }
        ++m_findings.windows;
        noteEcho();
        const qint64 waiting = m_link.lastBytesWaiting();
        const QByteArray firstBytes = m_link.lastReply();
        if (waiting == 0) {
            if (startsLikeAReply(candidate.firstBytes))
                continue;
            candidate.alone = Stranger::Alone::NotAgain;
        } else if (!noteEchoChanged(candidate.address) && isAReadersReply(waiting, firstBytes)) {
            m_readers[candidate.address] = {candidate.address, m_link.lastFirstByteNs(), false};
            continue;
        } else {
            candidate.alone = Stranger::Alone::Again;
            candidate.firstBytes = firstBytes;
        }
        strangers.append(candidate);
    }
    m_candidates = strangers;
}

void LineCheck::stopAt(int address)
{
    const std::optional<StopReason> why = m_link.stopReason();
    m_link.closeAfterStop();
    if (!why)
        return;
    m_findings.stop = why;
    m_findings.stoppedAt = address;
}
