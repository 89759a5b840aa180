#pragma once

#include "bus/frames.h"
#include "bus/readerlink.h"
#include "bus/stopreason.h"

#include <QObject>
#include <QString>

#include <deque>
#include <optional>
#include <set>

// Polls each address of a range once, in order (every address from 0 to 126 unless told
// otherwise), and lists the readers that answer.
//
// At a window shorter than ReaderLink::ReplyWindow, a slow reader's reply may land in a
// later address's window. A reader found there is listed only once a poll of it alone,
// with the full window, finds it too; bytes that came after their window are traced
// back to the poll they answered, and said.
class BusScan : public QObject
{
    Q_OBJECT
public:
    explicit BusScan(ReaderLink &link, QObject *parent = nullptr);

    // Both ends lie in 0..126, first <= last.
    void run(int first = frames::FirstAddress, int last = frames::LastAddress);

    static QString listEntry(int address);
    static QString progressText(int address);
    static QString resultText(int readersFound);
    // Three times the time from the poll to its reply, in whole tens of milliseconds, and
    // never more than the full window, which any reader has.
    static int suggestedWindowMs(qint64 replyAfterNs);

signals:
    void listCleared();
    // After each of the scan's own polls that left bytes waiting when its window ended,
    // before readerListed() and addressChecked() for that address; firstByteNs as
    // ReaderLink::lastFirstByteNs(). A poll alone, which confirms a reader found at a
    // short window, is not one of them.
    void replyReceived(int address, qint64 firstByteNs, qint64 bytesWaiting);
    void readerListed(const QString &entry, int address);
    // Bytes came in the window of `address` at the full window that are no reader's
    // reply: too few, a first byte other than STX or ACK, or an echo come back changed.
    // Two readers on one address, a reader at the other speed, or noise. Before
    // addressChecked() for it; `firstBytes` as ReaderLink::lastReply().
    void notAReadersReply(int address, const QByteArray &firstBytes);
    // Every address whose poll ended, listed or not, after readerListed() for it.
    void addressChecked(int address, bool listed);
    // Said while each address is polled, so the operator sees which one it is.
    void statusChanged(const QString &text);
    // The line went down, or another master talks on it: the scan ends early, at
    // `address`, listing nothing on the strength of that window; `why` as
    // ReaderLink::stopReason(), for the front end to word.
    void stopped(int address, const StopReason &why);
    // The reader at `address` answered after its window, found by a poll of it alone;
    // a window of `suggestedWindowMs` would have held its reply.
    void lateReply(int address, int suggestedWindowMs);

private:
    // A poll of the range, kept while a late reply could still come from it. After a wait
    // for quiet every earlier poll lies more than the full window back.
    struct Polled
    {
        int address;
        qint64 sentAtNs;
        bool answered; // in its own window: nothing of it can come late
    };

    std::optional<bool> judge(int address, ReaderLink::Poll poll, bool shortWindow);
    bool isReadersReply(char firstByte) const;
    std::optional<bool> checkShortWindow(int address, bool listed, bool answered);
    std::optional<ReaderLink::Poll> pollAlone(int address);
    void noteLateBytes(std::optional<qint64> arrivedAtNs);
    bool traceLateReply();
    void stopAt(int address);

    ReaderLink &m_link;
    std::deque<Polled> m_recent;
    std::set<int> m_lateReaders; // found late before: asked first
    qint64 m_lateBytesAtNs = -1; // the earliest bytes seen after their window, not yet traced
    qint64 m_aloneNs = 0;        // of this run, for its debug line
    int m_alonePolls = 0;
};
