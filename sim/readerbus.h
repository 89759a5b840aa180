#pragma once

#include "sim/frameparser.h"
#include "sim/pseudoterminal.h"
#include "sim/publishedlink.h"
#include "sim/reader.h"
#include "sim/trace.h"
#include "sim/wakepipe.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace sim {

// What the program hears of its own bytes. The receiver of a 2-wire RS-485 adapter stays
// on while it sends, so each byte comes straight back (Exact). Changed is the echo of a
// collision: the byte after each address byte (0x80 and up) comes back with bit 6
// flipped, so ACK and a poll 06 85 02 3F 03 return as 06 85 42 3F 03.
enum class Echo { Off, Exact, Changed };

// The readers' side of a multi-drop serial line, played on the master side of a pty.
// The program under test opens slavePath() as if it were a USB serial adapter.
// A worker thread answers polls; every public method may be called from any thread.
class ReaderBus
{
public:
    ReaderBus();
    ~ReaderBus();
    ReaderBus(const ReaderBus &) = delete;
    ReaderBus &operator=(const ReaderBus &) = delete;

    bool isValid() const; // false if the pty could not be set up, or after unplug()
    QString slavePath() const;
    int slaveFd() const; // our own slave fd: tcgetattr() shows what the program set
    bool publishAt(const QString &linkPath);

    void addReader(const Reader &reader); // replaces a reader at the same address
    void removeReader(int address);
    QList<int> readerAddresses() const; // sorted

    // A babbling device floods the line for as long as the program keeps reading.
    // Babble is counted, not traced.
    void setBabbling(bool on);
    qint64 babbleBytesSent() const;
    void injectNoise(const QByteArray &bytes);
    // Every byte from the program comes back to it as soon as it is read, ahead of any
    // reply to it; the echo is in sent() and the trace like any byte to the program.
    void setEcho(Echo mode);
    // Another master (an access panel left running) puts ACK and a poll frame on the line
    // every `period`, for each reader in turn by address (for address 1 while there is
    // none); the readers answer it as they answer the program, which hears it all. It
    // does not wait for the line to be quiet. A period of 0 stops it.
    void setOtherMaster(std::chrono::milliseconds period);
    // The adapter is yanked: the program's reads on the slave fail from now on.
    void unplug();

    QList<TraceEntry> trace() const;
    QList<TraceEntry> takeTrace(); // returns the trace and forgets it; received()/sent() stay
    QByteArray received() const;   // every byte from the program, in order
    QByteArray sent() const;       // every byte to the program, in order, babble excluded
    void clearTrace();             // forgets trace, received() and sent()
    // Tests read every byte that crossed the line; rollcall-sim, which may run all day,
    // keeps none of them (received() and sent() stay empty), so its memory stays flat.
    void setKeepsTraffic(bool keep);
    // Waits until received() holds at least byteCount bytes (while traffic is kept).
    bool waitForReceived(int byteCount, int timeoutMs) const;
    QString formatTrace() const;
    qint64 elapsedNanoseconds() const; // on the trace's clock

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void handleIncoming(const char *data, int size, Clock::time_point at);
    void handleFrame(const Frame &frame, Clock::time_point at);
    void moveDueReplies(Clock::time_point now);
    void echo(const char *data, int size);
    void pollAsOtherMaster(int fd, Clock::time_point now);
    int untilOtherMaster(int fd, Clock::time_point now) const; // -1 while it is off
    void queueForProgram(const QByteArray &bytes);
    // Replies, then babble, unless the line is down; a hang-up starts the backoff.
    void writeWaiting(int fd, Clock::time_point now);
    bool writePending(int fd); // false on hang-up
    bool writeBabble(int fd);  // false on hang-up
    void record(TraceEntry::Direction direction, const char *data, int size, Clock::time_point at);
    qint64 sinceEpoch(Clock::time_point at) const;

    const Clock::time_point m_epoch;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::thread m_worker;
    WakePipe m_wake;

    // Guarded by m_mutex.
    PseudoTerminal m_pty;
    PublishedLink m_link;
    std::map<int, Reader> m_readers;
    std::multimap<Clock::time_point, QByteArray> m_scheduled; // equal times keep FIFO order
    QByteArray m_outbox;                                      // due, not yet accepted by the pty
    FrameParser m_parser;
    QList<TraceEntry> m_trace;
    QByteArray m_received;
    QByteArray m_sent;
    bool m_keepsTraffic = true;
    qint64 m_babbleBytes = 0;
    bool m_babbling = false;
    Echo m_echo = Echo::Off;
    bool m_echoFollowsAddress = false; // Changed alters the next byte echoed
    std::chrono::milliseconds m_otherMasterPeriod{0};
    Clock::time_point m_otherMasterDue;
    int m_otherMasterPolled = -1; // the address it polled last
    bool m_unplugRequested = false;
    bool m_stopping = false;
    Clock::time_point m_hangupUntil;
};

} // namespace sim
