#include "bus/readerlink.h"

#include "bus/frames.h"
#include "bus/traffic.h"
#include "line/line.h"
#include "line/linetrace.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <functional>
#include <utility>

// Enable with QT_LOGGING_RULES="rollcall.bus.window.debug=true" to see every reply
// window as the program measured it.
Q_LOGGING_CATEGORY(lcReplyWindow, "rollcall.bus.window", QtWarningMsg)

ReaderLink::ReaderLink(Line &line, QObject *parent)
    : QObject(parent), m_line(line), m_replyTimer(this), m_quietTimer(this)
{
    m_replyTimer.setObjectName(QStringLiteral("Timer1"));
    m_replyTimer.setInterval(ReplyWindow);
    connect(&m_replyTimer, &ReplyTimer::timeout, this, &ReaderLink::onReplyWindowOver);
    connect(&m_quietTimer, &ReplyTimer::timeout, this, [this] { m_quietOver = true; });
    // Another port or speed: maybe another adapter, and another bus to listen to first.
    connect(&m_line, &Line::opened, this, [this] {
        m_listened = false;
        m_echo.forget();
    });
    m_clock.start();
}

ReaderLink::Poll ReaderLink::poll(int address)
{
    return sendPoll(address) ? awaitReply() : Poll::Stopped;
}

ReaderLink::Poll ReaderLink::pollAlone(int address)
{
    const qint64 waitFromNs = m_clock.nsecsElapsed();
    if (!waitForQuietLine())
        return Poll::Stopped;
    qCDebug(lcLineTrace, "%.3f ms line quiet after %.1f ms: %03d polled alone for %lld ms",
            linetrace::millisecondsSinceStart(),
            static_cast<double>(m_clock.nsecsElapsed() - waitFromNs) / 1e6, address,
            static_cast<long long>(ReplyWindow.count()));
    const std::chrono::nanoseconds window = m_replyTimer.interval();
    m_replyTimer.setInterval(ReplyWindow);
    const Poll found = poll(address);
    m_replyTimer.setInterval(window);
    return found;
}

// The one place where a command waits: the event loop sleeps until something happens, so
// the program stays live (a window repaints, a stop request is seen) while a reader has
// its time to answer, while the line falls quiet, or while it opens.
//
// Qt on Windows hands out posted events (a precise timer's, the port's notifications)
// as processEvents() starts, then sleeps until a window message comes: what those events
// made true would wait for an unrelated message. So the condition is also checked just
// before the loop sleeps, and a met one wakes it. Only the innermost wait checks, so a
// wait that nests inside another's events cannot wake itself over and over.
void ReaderLink::waitUntil(const std::function<bool()> &done)
{
    const int depth = ++m_waitDepth;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    const QMetaObject::Connection beforeSleep =
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this, depth, dispatcher, &done] {
                    if (depth == m_waitDepth && done())
                        dispatcher->interrupt();
                });
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    disconnect(beforeSleep);
    --m_waitDepth;
}

bool ReaderLink::awaitOpen()
{
    m_otherMaster.clear(); // every exchange begins here
    waitUntil([this] { return m_aborted || m_line.state() != Line::State::Opening; });
    return !m_aborted && m_line.isOpen();
}

// Bytes heard on a line before the program said anything were sent by another device.
// What waited from before the open is not heard: it may be an earlier program's.
bool ReaderLink::listenOnceOpened()
{
    if (m_listened)
        return true;
    m_listened = true;
    if (!m_line.discard())
        return false;
    m_unreadSinceWindow = 0; // an earlier opening's
    m_heardTail.clear();
    if (!rest(ListenTime) && m_aborted)
        return false;
    const qint64 waiting = m_line.count();
    if (m_aborted || waiting < 0)
        return false;
    qCDebug(lcLineTrace, "%.3f ms listened %lld ms before the first poll: %lld bytes",
            linetrace::millisecondsSinceStart(), static_cast<long long>(ListenTime.count()),
            static_cast<long long>(waiting));
    if (waiting == 0)
        return true;
    const QByteArray heard = m_line.peek(Line::ReceiveBufferSize);
    const QByteArray frame = traffic::masterFrame(heard);
    return heardOtherMaster(frame.isEmpty() ? heard.left(8) : frame);
}

// A master's frame in `bytes`, or begun in the last bytes looked at before them: the
// bytes that come after a window's count and before the next discard are looked at apart.
QByteArray ReaderLink::masterFrameHeard(const QByteArray &bytes)
{
    const QByteArray joined = m_heardTail + bytes;
    m_heardTail = joined.right(MasterFrameTail);
    return traffic::masterFrame(joined);
}

bool ReaderLink::heardOtherMaster(const QByteArray &seen)
{
    m_otherMaster = seen;
    qCDebug(lcLineTrace, "%.3f ms another master talks on this line: %s",
            linetrace::millisecondsSinceStart(), linetrace::hex(seen).constData());
    return false;
}

// Takes the echo of what the program wrote off the front of what waits, and gives back
// up to a receive buffer of what follows it, left waiting.
QByteArray ReaderLink::setEchoAside(bool windowOver, qsizetype *setAside, bool *changed)
{
    const QByteArray waiting = m_line.peek(Line::ReceiveBufferSize);
    const EchoAccount::Settled settled = m_echo.settle(waiting, windowOver);
    if (changed)
        *changed = settled.changed;
    const qsizetype aside = settled.changed ? 0 : settled.echoBytes;
    if (setAside)
        *setAside = aside;
    for (qsizetype i = 0; i < aside; ++i)
        m_line.readByte();
    if (aside > 0 && !m_echoSaid) {
        m_echoSaid = true;
        qCDebug(lcLineTrace, "%.3f ms the adapter echoes what it sends; its echo is set aside",
                linetrace::millisecondsSinceStart());
        emit echoSetAside();
    }
    return waiting.mid(aside);
}

// What a discard is about to drop came after the last window: the rest of an echo, a
// reply that came late, or another master's frame. With `newBytesTalk`, any byte that
// came since the last window counts as another device talking.
bool ReaderLink::settleBeforeDiscard(bool newBytesTalk)
{
    if (m_line.count() <= 0)
        return m_line.isOpen();
    const QByteArray rest = setEchoAside(false);
    const QByteArray fresh = rest.mid(m_unreadSinceWindow);
    const QByteArray frame = masterFrameHeard(fresh);
    if (!frame.isEmpty())
        return heardOtherMaster(frame);
    if (newBytesTalk && !fresh.isEmpty())
        return heardOtherMaster(fresh.left(8));
    return true;
}

bool ReaderLink::sendPoll(int address)
{
    if (!awaitOpen() || !listenOnceOpened() || !settleBeforeDiscard())
        return false;
    // Bytes that came after the last window ended belong to no poll of their own; the
    // discard is about to drop them. Only a short window looks: at the full one nothing
    // is asked of the line between two windows.
    if (m_windowIsShort && m_line.isOpen())
        noteLateBytes(m_line.count());
    if (!m_line.discard() || !send(frames::ackFrame()))
        return false;
    // Read before the frame is handed to the OS: a program descheduled right after the
    // write would otherwise start the clock late and show a reader quicker than it is.
    m_pollSentAtNs = m_clock.nsecsElapsed();
    if (!send(frames::pollFrame(address)))
        return false;
    // The window runs from the frame handed to the OS; whatever the caller does before
    // awaitReply() happens inside it.
    m_windowStartNs = m_clock.nsecsElapsed();
    m_firstByteNs = -1;
    m_echoNs = -1;
    m_lastBytesWaiting = 0;
    m_replyWindowOver = false;
    m_replyTimer.start();
    m_polledAddress = address;
    return true;
}

ReaderLink::Poll ReaderLink::awaitReply()
{
    if (!waitForReplyWindow())
        return Poll::Stopped;
    qint64 waiting = m_line.count();
    const qint64 countedAtNs = m_clock.nsecsElapsed();
    m_lastReplyWindowNs = countedAtNs - m_windowStartNs;
    if (waiting < 0)
        return Poll::Stopped;
    qsizetype echoBytes = 0;
    const QByteArray reply = setEchoAside(true, &echoBytes, &m_lastEchoChanged);
    if (!m_lastEchoChanged) {
        // Readers answer only the program's polls: a master's frame here is another's.
        const QByteArray frame = masterFrameHeard(reply);
        if (!frame.isEmpty()) {
            heardOtherMaster(frame);
            return Poll::Stopped;
        }
    }
    waiting -= echoBytes;
    if (echoBytes == 0 && m_echoNs >= 0) {
        // What looked like the start of an echo was the reply after all.
        m_firstByteNs = m_echoNs;
        m_echoNs = -1;
    }
    m_lastReply = reply.left(ReplyBytesKept);
    m_lastBytesWaiting = m_unreadSinceWindow = waiting;
    // Arrived with the wake that ended the window: seen only now.
    if (waiting > 0 && m_firstByteNs < 0)
        m_firstByteNs = countedAtNs - m_pollSentAtNs;

    qCDebug(lcReplyWindow, "address %03d window %.3f ms waiting %lld", m_polledAddress,
            m_lastReplyWindowNs / 1e6, static_cast<long long>(waiting));
    emit replyWindowMeasured(m_polledAddress, m_lastReplyWindowNs, waiting);
    if (lcLineTrace().isDebugEnabled())
        traceReply(waiting, echoBytes);
    return waiting > 1 ? Poll::Present : Poll::Absent;
}

// After the count, so the window is measured as without the trace. The bytes shown are
// peeked: the command reads them as it would have.
void ReaderLink::traceReply(qint64 waiting, qint64 echoBytes)
{
    constexpr qint64 Shown = 8;
    const QByteArray first = m_lastReply.left(Shown);
    const char *verdict = "nothing";
    if (m_lastEchoChanged)
        verdict = "the echo came back changed, not listed";
    else if (waiting == 1)
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
    const QByteArray echo =
        echoBytes > 0 ? " after an echo of " + QByteArray::number(echoBytes) + " set aside" : "";
    qCDebug(lcLineTrace, "%.3f ms reply window of %03d over: %lld waiting%s%s%s%s%s: %s",
            linetrace::millisecondsSinceStart(), m_polledAddress, static_cast<long long>(waiting),
            echo.constData(), first.isEmpty() ? "" : ", ", linetrace::hex(first).constData(),
            waiting > Shown ? " ..." : "", firstByteAt.constData(), verdict);
}

std::optional<char> ReaderLink::readReplyByte()
{
    if (m_aborted)
        return std::nullopt;
    const std::optional<char> byte = m_line.readByte();
    if (byte && m_unreadSinceWindow > 0)
        --m_unreadSinceWindow;
    return byte;
}

bool ReaderLink::acknowledge()
{
    return awaitOpen() && settleBeforeDiscard() && m_line.discard() && send(frames::ackFrame()) &&
           settleBeforeDiscard() && m_line.discard();
}

// The frame goes only onto a line on which nothing the program cannot account for came
// since the last window: another master talking now would garble it, or be garbled.
bool ReaderLink::sendSetAddress(int newAddress)
{
    return awaitOpen() && listenOnceOpened() && settleBeforeDiscard(true) && m_line.discard() &&
           send(frames::ackFrame()) && send(frames::setAddressFrame(newAddress)) && drain();
}

bool ReaderLink::rest(std::chrono::nanoseconds time)
{
    m_quietOver = false;
    m_quietTimer.setInterval(time);
    m_quietTimer.start();
    waitUntil([this] { return m_quietOver || m_aborted || !lineStillThere(); });
    m_quietTimer.stop();
    return !m_aborted && lineStillThere();
}

// A server drops what it has not yet written to its port when the connection closes: a
// frame said to be sent must be past it first.
bool ReaderLink::drain()
{
    if (m_aborted || !m_line.isOpen())
        return false;
    m_line.drain();
    waitUntil([this] { return m_aborted || !m_line.isDraining() || !lineStillThere(); });
    return !m_aborted && m_line.isOpen() && !m_line.isDraining();
}

std::optional<StopReason> ReaderLink::stopReason() const
{
    if (m_aborted)
        return std::nullopt;
    StopReason why;
    why.otherMaster = m_otherMaster;
    if (!why.isOtherMaster())
        why.line = m_line.problem();
    return why;
}

void ReaderLink::closeAfterStop()
{
    if (!m_aborted && m_otherMaster.isEmpty())
        m_line.close();
}

void ReaderLink::abort()
{
    m_aborted = true;
    m_replyTimer.stop();
}

void ReaderLink::setReplyWindow(std::chrono::milliseconds window)
{
    m_replyTimer.setInterval(window);
    m_windowIsShort = window < ReplyWindow;
}

void ReaderLink::setReplyWindowForTesting(std::chrono::milliseconds window)
{
    m_replyTimer.setInterval(window);
    m_windowIsShort = false;
}

std::optional<qint64> ReaderLink::takeLateBytesAt()
{
    const qint64 at = std::exchange(m_lateBytesAtNs, -1);
    return at < 0 ? std::nullopt : std::optional<qint64>(at);
}

void ReaderLink::noteLateBytes(qint64 waiting)
{
    if (waiting > m_unreadSinceWindow && m_lateBytesAtNs < 0)
        m_lateBytesAtNs = m_clock.nsecsElapsed();
}

std::chrono::milliseconds ReaderLink::replyWindow() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_replyTimer.interval());
}

bool ReaderLink::send(const QByteArray &bytes)
{
    if (m_aborted || !m_line.write(bytes))
        return false;
    m_echo.wrote(bytes);
    return true;
}

// Open, or opening again for a port chosen anew meanwhile: either way a wait goes on.
bool ReaderLink::lineStillThere() const
{
    return m_line.state() != Line::State::Closed;
}

// - a port chosen anew reopens the line inside the wait; the poll then counts the bytes
//   of the reopened port (none while it is still opening) and the command goes on with it;
// - the front ends run one command at a time, so no second command starts here;
// - abort(), as the program closes: the wait ends at once and nothing more is sent;
// - a port that goes down ends the wait at once as well.
bool ReaderLink::waitForReplyWindow()
{
    waitUntil([this] {
        noteFirstByte(); // it may have come while the caller worked inside the window
        return m_replyWindowOver || m_aborted || !lineStillThere();
    });
    if (!m_replyWindowOver) {
        m_replyTimer.stop();
        return false;
    }
    return !m_aborted;
}

// Waits, in the reply window's own loop, until every earlier poll has had the full
// ReplyWindow from its frame handed to the OS and no byte has come for QuietGap, or
// QuietLimit has passed. Any byte that comes meanwhile came after its window.
bool ReaderLink::waitForQuietLine()
{
    using std::chrono::nanoseconds;
    const qint64 startNs = m_clock.nsecsElapsed();
    const qint64 limitNs = startNs + nanoseconds(QuietLimit).count();
    const qint64 everyWindowOverNs = m_windowStartNs + nanoseconds(ReplyWindow).count();
    qint64 seen = m_unreadSinceWindow;
    qint64 lastByteNs = m_windowStartNs + m_lastReplyWindowNs; // the last count, at best
    for (;;) {
        const qint64 waiting = m_line.count();
        if (waiting < 0 || m_aborted)
            return false;
        const qint64 now = m_clock.nsecsElapsed();
        if (waiting != seen) {
            noteLateBytes(waiting);
            seen = waiting;
            lastByteNs = now;
        }
        const qint64 quietAtNs = std::min(
            std::max(everyWindowOverNs, lastByteNs + nanoseconds(QuietGap).count()), limitNs);
        if (now >= quietAtNs)
            return true;
        m_quietOver = false;
        m_quietTimer.setInterval(nanoseconds(quietAtNs - now));
        m_quietTimer.start();
        waitUntil([this, seen] {
            return m_quietOver || m_aborted || !lineStillThere() || m_line.count() != seen;
        });
        m_quietTimer.stop();
        if (m_aborted || !lineStillThere())
            return false;
    }
}

// The loop wakes for the port's read notifier, so the first wake with bytes waiting is
// within a wake-up latency of their arrival. Once a byte is seen, or once the window is
// over (awaitReply() counts then anyway), nothing more is asked of the line.
//
// Bytes that may all be the start of the echo are not the reply: its first byte is the
// first one past the echo. Until then each wake peeks, which no other wake does.
void ReaderLink::noteFirstByte()
{
    if (m_firstByteNs >= 0 || m_replyWindowOver)
        return;
    const qint64 waiting = m_line.count();
    if (waiting <= 0)
        return;
    const qint64 now = m_clock.nsecsElapsed();
    if (m_echo.adapter() != EchoAccount::Adapter::DoesNotEcho &&
        m_echo.mayBeEcho(m_line.peek(std::min(waiting, Line::ReceiveBufferSize)))) {
        if (m_echoNs < 0)
            m_echoNs = now - m_pollSentAtNs;
        return;
    }
    m_firstByteNs = now - m_pollSentAtNs;
}

void ReaderLink::onReplyWindowOver()
{
    m_replyWindowOver = true;
}
