#pragma once

#include "bus/replytimer.h"
#include "bus/stopreason.h"
#include "bus/traffic.h"

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
    // Before the first exchange on a line just opened, the program listens this long, and
    // anything heard is another device talking: longer than a reply window, so a master
    // that polls with windows like this program's is heard at least once.
    static constexpr std::chrono::milliseconds ListenTime{250};
    // The first bytes of a reply kept for whoever names it.
    static constexpr qsizetype ReplyBytesKept = 16;

    // Stopped: the line went down, or another master talks on it; stopReason() says which.
    enum class Poll { Absent, Present, Stopped };

    explicit ReaderLink(Line &line, QObject *parent = nullptr);

    // Discards what was received, sends ACK and the poll frame, waits the whole reply
    // window and judges by the count: more than one byte waiting is a reader. What was
    // received stays for the caller to read.
    //
    // What the program cannot account for is never judged as a reply. An adapter that
    // echoes brings back every byte as it was sent, ahead of any reply: that echo is set
    // aside (echoSetAside() says so, once) and only what follows it is counted, timed and
    // read. A poll or set-address frame that the program did not send, before a discard or
    // in a window, and anything heard while listening on a line just opened, is another
    // master: the exchange stops.
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
    // The first ReplyBytesKept bytes of the last reply, without the echo.
    QByteArray lastReply() const { return m_lastReply; }
    // The last window's echo came back altered or cut short, so what came there is no
    // reader's reply whatever its bytes; lastReply() holds all of it.
    bool lastEchoChanged() const { return m_lastEchoChanged; }
    // Discard, ACK, discard: after an answer that nobody reads.
    bool acknowledge();
    // Discard, ACK, then the set-address frame to address 0; no answer is awaited, but
    // the frame has left this computer on return (drain()). Not sent when anything the
    // program cannot account for came since the last window.
    bool sendSetAddress(int newAddress);
    // Waits `time` and sends nothing: between polls that must not come too often. What
    // comes meanwhile is judged before the next poll discards it. False when the line went
    // down or abort() came.
    bool rest(std::chrono::nanoseconds time);
    // Waits until every byte written has left this computer: a serial device's own
    // drain, a network server's answer to a request sent after them and their time on
    // the wire. True once they have; false when the line went down or abort() came.
    bool drain();

    // Why an exchange stopped. Nothing when the program is closing, since nobody is left
    // to tell. Asked before closeAfterStop(), which may forget it.
    std::optional<StopReason> stopReason() const;
    // After an exchange stopped: closes the port when the line went down. Not while the
    // program is closing, which closes it itself, and not for another master: the line
    // itself is sound.
    void closeAfterStop();

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
    // What the last poll left waiting when its window ended, its echo set aside.
    qint64 lastBytesWaiting() const { return m_lastBytesWaiting; }
    // From the clock read before the last poll frame was handed to the OS to the first
    // byte of its echo; -1 when none came. The adapter's own delay, where it shows.
    qint64 lastEchoNs() const { return m_echoNs; }
    // With a short window: when bytes were first seen that came after a window had ended
    // (between two polls, or while waiting for quiet), on clockNs(); forgotten once taken.
    std::optional<qint64> takeLateBytesAt();

signals:
    void replyWindowMeasured(int address, qint64 nanoseconds, qint64 bytesWaiting);
    // The first time the adapter was heard bringing back what the program sent.
    void echoSetAside();

private:
    void waitUntil(const std::function<bool()> &done);
    bool send(const QByteArray &bytes);
    bool listenOnceOpened();
    QByteArray setEchoAside(bool windowOver, qsizetype *setAside = nullptr,
                            bool *changed = nullptr);
    bool settleBeforeDiscard(bool newBytesTalk = false);
    bool heardOtherMaster(const QByteArray &seen);
    QByteArray masterFrameHeard(const QByteArray &bytes);
    bool lineStillThere() const;
    bool waitForReplyWindow();
    bool waitForQuietLine();
    void noteLateBytes(qint64 waiting);
    void noteFirstByte();
    void onReplyWindowOver();
    void traceReply(qint64 waiting, qint64 echoBytes);

    Line &m_line;
    EchoAccount m_echo;
    bool m_echoSaid = false;
    bool m_listened = false;  // since the line last opened
    QByteArray m_otherMaster; // what gave it away, in the exchange that stopped
    // The last bytes looked at for a master's frame: one may straddle two looks.
    static constexpr qsizetype MasterFrameTail = 8;
    QByteArray m_heardTail;
    QByteArray m_lastReply;
    bool m_lastEchoChanged = false;
    qint64 m_echoNs = -1;
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
