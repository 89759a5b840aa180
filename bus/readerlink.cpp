#include "readerlink.h"

#include "frames.h"
#include "serialline.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>

// Enable with QT_LOGGING_RULES="rollcall.bus.window.debug=true" to see every reply
// window as the program measured it.
Q_LOGGING_CATEGORY(lcReplyWindow, "rollcall.bus.window", QtWarningMsg)

ReaderLink::ReaderLink(SerialLine &line, QTimer &timer1, QObject *parent)
    : QObject(parent), m_line(line), m_timer1(timer1)
{
    connect(&m_timer1, &QTimer::timeout, this, &ReaderLink::Timer1_Timer);
}

ReaderLink::Poll ReaderLink::poll_address(int address)
{
    if (!m_line.discard() || !send(frames::lone_ack()) || !send(frames::pollFrame(address)))
        return Poll::LineDown;

    QElapsedTimer window;
    window.start();
    if (!waitForTick())
        return Poll::LineDown;
    const qint64 waiting = m_line.count();
    m_lastReplyWindowNs = window.nsecsElapsed();
    if (waiting < 0)
        return Poll::LineDown;

    qCDebug(lcReplyWindow, "address %03d window %.3f ms waiting %lld", address,
            m_lastReplyWindowNs / 1e6, static_cast<long long>(waiting));
    emit replyWindowMeasured(address, m_lastReplyWindowNs, waiting);
    return waiting > 1 ? Poll::Present : Poll::Absent;
}

bool ReaderLink::acknowledge()
{
    return m_line.discard() && send(frames::lone_ack()) && m_line.discard();
}

bool ReaderLink::send_set_address(int newAddress)
{
    return m_line.discard() && send(frames::lone_ack()) &&
           send(frames::setAddressFrame(newAddress));
}

void ReaderLink::Timer1_Timer()
{
    reply_wait_over = true;
    m_timer1.stop();
}

void ReaderLink::abort()
{
    m_aborted = true;
    m_timer1.stop();
}

bool ReaderLink::send(const QByteArray &bytes)
{
    return !m_aborted && m_line.write(bytes);
}

bool ReaderLink::waitForTick()
{
    reply_wait_over = false;
    m_timer1.start();
    // Sleeps in the event loop until something happens: the tick, a repaint, a click.
    while (!reply_wait_over && !m_aborted && m_line.isOpen())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!reply_wait_over) {
        m_timer1.stop();
        return false;
    }
    return !m_aborted;
}
