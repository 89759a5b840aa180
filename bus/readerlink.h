#pragma once

#include <QElapsedTimer>
#include <QObject>

class QTimer;
class SerialLine;

// The exchanges every command is built from: the poll transaction with its fixed
// reply window, the acknowledgement, and the set-address frame.
//
// The reply window is timed by the window's Timer1; while it runs the event loop keeps
// going, so the window repaints and its other handlers can run. The wait ends early
// only when the port goes down or the program is closing.
class ReaderLink : public QObject
{
    Q_OBJECT
public:
    enum class Poll { Absent, Present, LineDown };

    ReaderLink(SerialLine &line, QTimer &timer1, QObject *parent = nullptr);

    Poll poll_address(int address);
    bool acknowledge();
    bool send_set_address(int newAddress);

    // The tick of Timer1: ends the reply window in progress.
    void Timer1_Timer();

    // The program is closing: end any wait at once and send nothing more.
    void abort();
    bool isAborted() const { return m_aborted; }

    // From the last frame handed to the OS to the count taken at the tick.
    qint64 lastReplyWindowNs() const { return m_lastReplyWindowNs; }

signals:
    void replyWindowMeasured(int address, qint64 nanoseconds, qint64 bytesWaiting);

private:
    bool send(const QByteArray &bytes);
    bool waitForTick();

    SerialLine &m_line;
    QTimer &m_timer1;
    bool reply_wait_over = false;
    bool m_aborted = false;
    qint64 m_lastReplyWindowNs = 0;
};
