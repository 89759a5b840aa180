#pragma once

#include "bus/stopreason.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <map>
#include <optional>

class ReaderLink;

// What a look at the line at one speed found, as plain values for a front end to word.
struct LineFindings
{
    // A reader, and how soon the first byte of its reply came after the poll.
    struct Reader
    {
        int address = 0;
        qint64 firstByteNs = -1; // as ReaderLink::lastFirstByteNs()
        // Later than the check's short window: timed by a poll of it alone.
        bool late = false;
    };
    // Bytes that no reader sends came in the window of `address`.
    struct Stranger
    {
        enum class Alone {
            Again,    // the poll of it alone brought such bytes too
            NotAgain, // the poll of it alone brought nothing
            NotPolled // more of them than the check polls alone
        };
        int address = 0;
        QByteArray firstBytes; // as ReaderLink::lastReply()
        Alone alone = Alone::NotPolled;
    };
    enum class Echo {
        Unknown,  // no window ended
        None,     // the adapter does not echo
        SetAside, // it echoes what it sends; the echo is set aside
        Changed   // an echo came back altered: something else drove the line
    };

    int windows = 0;       // addresses whose poll ended, in the scan or alone
    QList<Reader> readers; // by address
    QList<Stranger> strangers;
    Echo echo = Echo::Unknown;
    int echoesChanged = 0;
    int firstEchoChangedAt = -1;
    QByteArray firstEchoChanged; // what came in that window
    // For each window with an echo set aside, its first byte after the poll, as
    // ReaderLink::lastEchoNs(): the adapter's own delay, where it shows. One a window.
    QList<qint64> echoNs;
    // The check of this speed ended early: another master talks, or the line went down.
    std::optional<StopReason> stop;
    int stoppedAt = -1;
};

// Looks at the line at the speed it is open at, and says what is wrong with it: whether
// another master talks, whether the adapter echoes and how soon, which readers answer
// and how fast, and which windows held bytes that no reader sends. It sends polls only,
// never a set-address frame: nothing it does can change a reader.
//
// It polls every address, since which speed the readers use, how fast the slowest is and
// where the strangers are can only be known from all of them; but at ScanWindow rather
// than the full window, so that both speeds take about 10 s rather than 2 x 25 s. A
// reader slower than that is still found: BusScan traces its reply back to its poll and
// polls it alone with the full window, which times it. Windows that held bytes no reader
// sends are polled alone afterwards, a few of them, to tell a stranger that answers
// every time from a late reply or a burst of noise.
class LineCheck : public QObject
{
    Q_OBJECT
public:
    // At 9600 baud the poll takes about 5 ms on the wire and a typical reader's first
    // byte comes a few ms after it: 35 ms holds it three times over. 127 windows of it
    // are 4.4 s per speed, plus the link's listening and 0.4 s to confirm each reader.
    static constexpr std::chrono::milliseconds ScanWindow{35};
    // Each poll alone waits for a quiet line and the full window, about 0.4 s: a line
    // full of noise would otherwise take a minute.
    static constexpr int MostPolledAlone = 4;
    // The speeds a reader can be set to; each is checked on its own opening of the port.
    static constexpr std::array<int, 2> Bauds{9600, 19200};

    // Built before the link's first exchange: whether the adapter echoes is said once.
    explicit LineCheck(ReaderLink &link, QObject *parent = nullptr);

    // At the speed the line is open at. The link's window is as before afterwards.
    LineFindings run();

signals:
    // Said while each address is polled, as BusScan says it.
    void statusChanged(const QString &text);

private:
    void onReplyReceived(int address, qint64 firstByteNs, qint64 bytesWaiting);
    void onAddressChecked(int address, bool listed);
    void noteEcho();
    bool noteEchoChanged(int address);
    void pollStrangersAlone();
    void stopAt(int address);

    ReaderLink &m_link;
    bool m_echoSetAside = false; // the adapter's habit, whatever the speed
    LineFindings m_findings;
    std::map<int, LineFindings::Reader> m_readers;
    std::map<int, qint64> m_firstBytes; // of the scan's own windows
    QList<LineFindings::Stranger> m_candidates;
};
