#pragma once

#include "bus/replytimer.h"
#include "line/portproblem.h"

#include <QElapsedTimer>
#include <QObject>

#include <chrono>
#include <functional>
#include <optional>

class Line;

// The exchanges every command is built from: the poll with its fixed reply window, the
// acknowledgement, and the set-address frame.
class ReaderLink : public QObject
{
    Q_OBJECT
public:
    // How long a reader has to answer a poll, counted from the frame handed to the OS.
    // The assignment always waits this long: a shorter window could call an address
    // free that a slow reader holds.
    static constexpr std::chrono::milliseconds ReplyWindow{200};
    // Before a poll alone, the line is quiet once every earlier poll has had the full
    // ReplyWindow and no byte has come for QuietGap (a reply still being sent, at 9600
    // baud about 20 characters); a line that never falls quiet is polled after QuietLimit.
    static constexpr std::chrono::milliseconds QuietGap{20};
    static constexpr std::chrono::milliseconds QuietLimit{1000};

    enum class Poll { Absent, Present, LineDown };

    explicit ReaderLink(Line &line, QObject *parent = nullptr);

    // Discards what was received, sends ACK and the poll frame, waits the whole reply
    // window and judges by the count: more than one byte waiting is a reader. What was
    // received stays for the caller to read.
    Poll poll(int address);
    // While the line is opening, waits in the event loop for the open or its failure;
    // every exchange below does so first. True when the line is open; a close or abort()
    // meanwhile ends the wait.
    bool awaitOpen();
    // The two halves of poll(), for a caller with work to do while the reader answers:
    // sendPoll() sends and starts the reply window, awaitReply() waits out the rest of
    // it and judges.
    bool sendPoll(int address);
    Poll awaitReply();
    // Once the line is quiet, polls `address` with the full ReplyWindow whatever the
    // window is: what it finds is that reader's own answer, not an earlier poll's.
    Poll pollAlone(int address);
    // The first byte of the reply the last poll left waiting.
    std::optional<char> readReplyByte();
    // Discard, ACK, discard: after an answer that nobody reads.
    bool acknowledge();
    // Discard, ACK, then the set-address frame to address 0; no answer is awaited.
    bool sendSetAddress(int newAddress);

    // Why the line went down during an exchange, as the line saw it: kind None when it
    // was not open at all. Nothing when the program is closing, since nobody is left to
    // tell. Asked before closeAfterLineDown(), which may forget it.
    std::optional<PortProblem> lineDownProblem() const;
    // The line went down during an exchange: closes the port. Not while the program is
    // closing, which closes it itself.
    void closeAfterLineDown();

    // The program is closing: end any wait at once and send nothing more.
    void abort();
    bool isAborted() const { return m_aborted; }

    // A scan may trade the margin of slow readers for speed; every window from the next
    // poll on lasts `window`.
    void setReplyWindow(std::chrono::milliseconds window);
    std::chrono::milliseconds replyWindow() const;
    // Shorter than ReplyWindow: a reply in a window may belong to an earlier poll.
    bool isWindowShort() const { return m_windowIsShort; }
    // Only for tests that check traffic rather than timing: a whole scan in seconds. The
    // window stands for the full one, so the traffic is that of a 200 ms scan.
    void setReplyWindowForTesting(std::chrono::milliseconds window);

    // Times on the link's own monotonic clock, in nanoseconds.
    qint64 clockNs() const { return m_clock.nsecsElapsed(); }
    // Read just before the last poll frame was handed to the OS.
    qint64 lastPollSentAtNs() const { return m_pollSentAtNs; }
    // From the last frame handed to the OS to the count taken at the end of the window.
    qint64 lastReplyWindowNs() const { return m_lastReplyWindowNs; }
    // From the clock read before the last poll frame was handed to the OS to the first
    // byte of its reply the program saw, so never shorter than the reader took; -1 when
    // nothing arrived in the window.
    qint64 lastFirstByteNs() const { return m_firstByteNs; }
    // What the last poll left waiting when its window ended.
    qint64 lastBytesWaiting() const { return m_lastBytesWaiting; }
    // With a short window: when bytes were first seen that came after a window had ended
    // (between two polls, or while waiting for quiet), on clockNs(); forgotten once taken.
    std::optional<qint64> takeLateBytesAt();

signals:
    void replyWindowMeasured(int address, qint64 nanoseconds, qint64 bytesWaiting);

private:
    void waitUntil(const std::function<bool()> &done);
    bool send(const QByteArray &bytes);
    bool lineStillThere() const;
    bool waitForReplyWindow();
    bool waitForQuietLine();
    void noteLateBytes(qint64 waiting);
    void noteFirstByte();
    void onReplyWindowOver();
    void traceReply(qint64 waiting);

    Line &m_line;
    ReplyTimer m_replyTimer;
    ReplyTimer m_quietTimer;
    QElapsedTimer m_clock;
    int m_polledAddress = 0;
    bool m_replyWindowOver = false;
    bool m_quietOver = false;
    bool m_aborted = false;
    int m_waitDepth = 0;
    bool m_windowIsShort = false;
    qint64 m_pollSentAtNs = 0;
    qint64 m_windowStartNs = 0;
    qint64 m_lastReplyWindowNs = 0;
    qint64 m_firstByteNs = -1;
    qint64 m_lastBytesWaiting = 0;
    // What should wait on the line if nothing came after the last window: the count at
    // its end less the bytes read since.
    qint64 m_unreadSinceWindow = 0;
    qint64 m_lateBytesAtNs = -1;
};
