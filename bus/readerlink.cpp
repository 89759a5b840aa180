#include "bus/readerlink.h"

#include "bus/frames.h"
#include "line/line.h"
#include "line/linetrace.h"

#include <QCoreApplication>
#include <QLoggingCategory>

// Enable with QT_LOGGING_RULES="rollcall.bus.window.debug=true" to see every reply
// window as the program measured it.
Q_LOGGING_CATEGORY(lcReplyWindow, "rollcall.bus.window", QtWarningMsg)

ReaderLink::ReaderLink(Line &line, QObject *parent)
    : QObject(parent), m_line(line), m_replyTimer(this)
{
    m_replyTimer.setObjectName(QStringLiteral("Timer1"));
    m_replyTimer.setInterval(ReplyWindow);
    connect(&m_replyTimer, &ReplyTimer::timeout, this, &ReaderLink::onReplyWindowOver);
}

ReaderLink::Poll ReaderLink::poll(int address)
{
    return sendPoll(address) ? awaitReply() : Poll::LineDown;
}

bool ReaderLink::sendPoll(int address)
{
    if (!m_line.discard() || !send(frames::ackFrame()) || !send(frames::pollFrame(address)))
        return false;
    // The window runs from the frame handed to the OS; whatever the caller does before
    // awaitReply() happens inside it.
    m_window.start();
    m_firstByteNs = -1;
    m_lastBytesWaiting = 0;
    m_replyWindowOver = false;
    m_replyTimer.start();
    m_polledAddress = address;
    return true;
}

ReaderLink::Poll ReaderLink::awaitReply()
{
    if (!waitForReplyWindow())
        return Poll::LineDown;
    const qint64 waiting = m_line.count();
    m_lastReplyWindowNs = m_window.nsecsElapsed();
    if (waiting < 0)
        return Poll::LineDown;
    m_lastBytesWaiting = waiting;
    // Arrived with the wake that ended the window: seen only now.
    if (waiting > 0 && m_firstByteNs < 0)
        m_firstByteNs = m_lastReplyWindowNs;

    qCDebug(lcReplyWindow, "address %03d window %.3f ms waiting %lld", m_polledAddress,
            m_lastReplyWindowNs / 1e6, static_cast<long long>(waiting));
    emit replyWindowMeasured(m_polledAddress, m_lastReplyWindowNs, waiting);
    if (lcLineTrace().isDebugEnabled())
        traceReply(waiting);
    return waiting > 1 ? Poll::Present : Poll::Absent;
}

// After the count, so the window is measured as without the trace. The bytes shown are
// peeked: the command reads them as it would have.
void ReaderLink::traceReply(qint64 waiting)
{
    constexpr qint64 Shown = 8;
    const QByteArray first = waiting > 0 ? m_line.peek(Shown) : QByteArray();
    const char *verdict = "nothing";
    if (waiting == 1)
        verdict = "one byte, not enough";
    else if (waiting > 1)
        verdict = first.startsWith(frames::STX) || first.startsWith(frames::ACK)
                      ? "reader"
                      : "first byte not STX or ACK, not listed";
    const QByteArray firstByteAt =
        m_firstByteNs < 0
            ? QByteArray()
            : ", first byte at " +
                  QByteArray::number(static_cast<double>(m_firstByteNs) / 1e6, 'f', 1) + " ms";
    qCDebug(lcLineTrace, "%.3f ms reply window of %03d over: %lld waiting%s%s%s%s: %s",
            linetrace::millisecondsSinceStart(), m_polledAddress, static_cast<long long>(waiting),
            first.isEmpty() ? "" : ", ", linetrace::hex(first).constData(),
            waiting > Shown ? " ..." : "", firstByteAt.constData(), verdict);
}

std::optional<char> ReaderLink::readReplyByte()
{
    return m_aborted ? std::nullopt : m_line.readByte();
}

bool ReaderLink::acknowledge()
{
    return m_line.discard() && send(frames::ackFrame()) && m_line.discard();
}

bool ReaderLink::sendSetAddress(int newAddress)
{
    return m_line.discard() && send(frames::ackFrame()) &&
           send(frames::setAddressFrame(newAddress));
}

std::optional<QString> ReaderLink::closeAfterLineDown()
{
    if (m_aborted)
        return std::nullopt;
    const PortProblem problem = m_line.problem();
    m_line.close();
    switch (problem.kind) {
    case PortProblem::Kind::None:
        return tr("the port is not open");
    case PortProblem::Kind::Unplugged:
        return tr("adapter unplugged");
    default: // a port chosen during the command did not open
        return problem.summary();
    }
}

void ReaderLink::abort()
{
    m_aborted = true;
    m_replyTimer.stop();
}

void ReaderLink::setReplyWindow(std::chrono::milliseconds window)
{
    m_replyTimer.setInterval(window);
}

std::chrono::milliseconds ReaderLink::replyWindow() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_replyTimer.interval());
}

bool ReaderLink::send(const QByteArray &bytes)
{
    return !m_aborted && m_line.write(bytes);
}

// The one place where a command waits. The event loop sleeps until something happens,
// so the window repaints and stays live while a reader has its time to answer:
// - a radio click reopens the port inside the wait; the poll then counts the bytes of
//   the reopened port and the command goes on with it;
// - the command buttons are disabled by the window, so no second command starts here;
// - closing the window aborts: the wait ends at once and nothing more is sent;
// - a port that goes down ends the wait at once as well.
bool ReaderLink::waitForReplyWindow()
{
    noteFirstByte(); // it may have come while the caller worked inside the window
    while (!m_replyWindowOver && !m_aborted && m_line.isOpen()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        noteFirstByte();
    }
    if (!m_replyWindowOver) {
        m_replyTimer.stop();
        return false;
    }
    return !m_aborted;
}

// The loop wakes for the port's read notifier, so the first wake with bytes waiting is
// within a wake-up latency of their arrival. Once a byte is seen, or once the window is
// over (awaitReply() counts then anyway), nothing more is asked of the line.
void ReaderLink::noteFirstByte()
{
    if (m_firstByteNs < 0 && !m_replyWindowOver && m_line.count() > 0)
        m_firstByteNs = m_window.nsecsElapsed();
}

void ReaderLink::onReplyWindowOver()
{
    m_replyWindowOver = true;
}
