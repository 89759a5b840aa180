#pragma once

#include "bus/replytimer.h"

#include <QElapsedTimer>
#include <QObject>

#include <chrono>
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

    enum class Poll { Absent, Present, LineDown };

    explicit ReaderLink(Line &line, QObject *parent = nullptr);

    // Discards what was received, sends ACK and the poll frame, waits the whole reply
    // window and judges by the count: more than one byte waiting is a reader. What was
    // received stays for the caller to read.
    Poll poll(int address);
    // The two halves of poll(), for a caller with work to do while the reader answers:
    // sendPoll() sends and starts the reply window, awaitReply() waits out the rest of
    // it and judges.
    bool sendPoll(int address);
    Poll awaitReply();
    // The first byte of the reply the last poll left waiting.
    std::optional<char> readReplyByte();
    // Discard, ACK, discard: after an answer that nobody reads.
    bool acknowledge();
    // Discard, ACK, then the set-address frame to address 0; no answer is awaited.
    bool sendSetAddress(int newAddress);

    // The line went down during an exchange: closes the port and gives the reason in a
    // few words for the operator ("adapter unplugged"). Nothing when the program is
    // closing, since nobody is left to read it.
    std::optional<QString> closeAfterLineDown();

    // The program is closing: end any wait at once and send nothing more.
    void abort();
    bool isAborted() const { return m_aborted; }

    // A scan may trade the margin of slow readers for speed; every window from the next
    // poll on lasts `window`.
    void setReplyWindow(std::chrono::milliseconds window);
    std::chrono::milliseconds replyWindow() const;
    // Only for tests that check traffic rather than timing: a whole scan in seconds.
    void setReplyWindowForTesting(std::chrono::milliseconds window) { setReplyWindow(window); }

    // From the last frame handed to the OS to the count taken at the end of the window.
    qint64 lastReplyWindowNs() const { return m_lastReplyWindowNs; }
    // From the last frame handed to the OS to the first byte of its reply the program
    // saw; -1 when nothing arrived in the window.
    qint64 lastFirstByteNs() const { return m_firstByteNs; }
    // What the last poll left waiting when its window ended.
    qint64 lastBytesWaiting() const { return m_lastBytesWaiting; }

signals:
    void replyWindowMeasured(int address, qint64 nanoseconds, qint64 bytesWaiting);

private:
    bool send(const QByteArray &bytes);
    bool waitForReplyWindow();
    void noteFirstByte();
    void onReplyWindowOver();
    void traceReply(qint64 waiting);

    Line &m_line;
    ReplyTimer m_replyTimer;
    QElapsedTimer m_window;
    int m_polledAddress = 0;
    bool m_replyWindowOver = false;
    bool m_aborted = false;
    qint64 m_lastReplyWindowNs = 0;
    qint64 m_firstByteNs = -1;
    qint64 m_lastBytesWaiting = 0;
};
