// Scan after scan through the window's own scan button, on a simulated line whose readers
// come and go, misbehave, babble, and whose adapter is pulled out and plugged back in.
// Prints what it saw; exits non-zero on a wrong list or status, on memory or file
// descriptors that grew, or on a scan that never ended.
//   rollcall-soak [SCANS]   (default 300; run offscreen by scripts/soak)

#include "tests/support/linefixture.h"
#include "tests/support/scriptedwindowdialogs.h"
#include "tests/support/simulatedline.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;

// 127 windows of 50 ms make a scan of about 6.4 s. Readers here answer within 5 ms, which
// leaves 45 ms for a loaded machine to wake the simulator; at 25 ms a scan beside a build
// on both cores lost a reply to the next window. A late reader's 250 ms lies far beyond
// the window, so its answer lands in a later one.
constexpr std::chrono::milliseconds ReplyWindow{50};
constexpr quint32 Seed = 20261207;
constexpr int DefaultScans = 300;
// Memory and descriptors are first taken once these scans, every kind of trouble among
// them, have run: what a first scan, babble or a reopened port allocates once is not growth.
constexpr int WarmUpScans = 8;
constexpr qint64 MemorySlackKb = 512; // malloc keeps a little more or less from run to run
constexpr auto HangLimit = 60s;       // a scan takes about 3 s; none may take this long
constexpr int MaxReaders = 12;
constexpr int LastAddress = 126;
constexpr int MismatchesShown = 5;
constexpr char Stx = 0x02;
constexpr char Ack = 0x06;

int openFds()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// The texts the operator reads, written out here rather than taken from the program.
QString entryText(int address)
{
    return QStringLiteral("Address %1").arg(address, 3, 10, QLatin1Char('0'));
}

QString resultText(int readers)
{
    return readers == 0 ? QStringLiteral("There are no readers online")
                        : QStringLiteral("There are %1 readers online").arg(readers);
}

QString stoppedPrefix(int address)
{
    return QStringLiteral("Scan stopped at %1: ").arg(address, 3, 10, QLatin1Char('0'));
}

// A reader is listed when it answers in time with more than one byte, STX or ACK first.
bool isListed(const sim::Reader &reader)
{
    return reader.fault == sim::Fault::None && reader.reply.size() > 1 &&
           (reader.reply.at(0) == Stx || reader.reply.at(0) == Ack);
}

// The readers the schedule put on the line; a new line after an unplug gets them again.
class ReaderSet
{
public:
    void add(const sim::Reader &reader) { m_readers[reader.address] = reader; }
    void remove(int address) { m_readers.erase(address); }
    bool has(int address) const { return m_readers.count(address) > 0; }
    int size() const { return int(m_readers.size()); }
    int addressAt(int index) const { return std::next(m_readers.begin(), index)->first; }

    void putOn(sim::ReaderBus &bus) const
    {
        for (const auto &entry : m_readers)
            bus.addReader(entry.second);
    }

    QStringList expectedEntries(int belowAddress = LastAddress + 1) const
    {
        QStringList entries;
        for (const auto &entry : m_readers) {
            if (entry.first < belowAddress && isListed(entry.second))
                entries << entryText(entry.first);
        }
        return entries;
    }

private:
    std::map<int, sim::Reader> m_readers;
};

enum class Trouble { None, Babble, LateReader, UnplugDuring, UnplugBefore };

const char *troubleName(Trouble trouble)
{
    switch (trouble) {
    case Trouble::None:
        return "plain";
    case Trouble::Babble:
        return "babble";
    case Trouble::LateReader:
        return "late reader";
    case Trouble::UnplugDuring:
        return "unplugged during the scan";
    case Trouble::UnplugBefore:
        return "unplugged before the scan";
    }
    return "?";
}

// One scan's share of the schedule: who joins and leaves before it, and what goes wrong.
struct Step
{
    std::optional<sim::Reader> joining;
    std::optional<int> leaving;
    Trouble trouble = Trouble::None;
    int from = 0; // babble from / unplug at / late reader at this address
    int to = 0;   // babble up to this address
};

// Draws the steps from a fixed seed, so every run meets the same troubles in the same order.
class Schedule
{
public:
    Step next(int scanIndex, const ReaderSet &readers)
    {
        Step step;
        if (readers.size() < MaxReaders && m_random.bounded(100) < 50)
            step.joining = randomReader(freeAddress(readers));
        if (readers.size() > 0 && m_random.bounded(100) < 35)
            step.leaving = readers.addressAt(m_random.bounded(readers.size()));
        step.trouble = troubleFor(scanIndex);
        step.from = m_random.bounded(LastAddress); // 0..125: an unplug always has a next poll
        step.to = std::min(LastAddress, step.from + 1 + m_random.bounded(30));
        if (step.trouble == Trouble::LateReader)
            step.from = freeAddress(readers, step.joining ? step.joining->address : -1);
        return step;
    }

private:
    Trouble troubleFor(int scanIndex)
    {
        // The warm-up meets every trouble once; later ones are drawn.
        static constexpr Trouble WarmUp[WarmUpScans] = {
            Trouble::None,         Trouble::Babble, Trouble::None,       Trouble::UnplugDuring,
            Trouble::UnplugBefore, Trouble::None,   Trouble::LateReader, Trouble::None};
        if (scanIndex < WarmUpScans)
            return WarmUp[scanIndex];
        const int pick = m_random.bounded(100);
        if (pick < 8)
            return Trouble::Babble;
        if (pick < 14)
            return Trouble::LateReader;
        if (pick < 19)
            return Trouble::UnplugDuring;
        if (pick < 23)
            return Trouble::UnplugBefore;
        return Trouble::None;
    }

    int freeAddress(const ReaderSet &readers, int alsoTaken = -1)
    {
        int address;
        do
            address = m_random.bounded(LastAddress + 1);
        while (readers.has(address) || address == alsoTaken);
        return address;
    }

    sim::Reader randomReader(int address)
    {
        sim::Reader reader;
        reader.address = address;
        reader.delay = std::chrono::milliseconds(1 + m_random.bounded(5));
        switch (m_random.bounded(10)) {
        case 0:
            reader.reply = QByteArray("\x06\x30", 2); // ACK first: listed
            break;
        case 1:
            reader.reply = QByteArray("\x02", 1); // STX alone: one byte is nobody
            break;
        case 2:
            reader.reply = QByteArray("AB\x03", 3); // neither STX nor ACK first
            break;
        case 3:
            reader.fault = sim::Fault::OneByte;
            break;
        case 4:
            reader.fault = sim::Fault::WrongFirstByte;
            break;
        case 5:
            reader.fault = sim::Fault::Silent;
            break;
        default:
            break; // STX OK ETX in time: listed
        }
        return reader;
    }

    QRandomGenerator m_random{Seed};
};

// The longest wait between ticks of a 10 ms timer: how long the window went unserved.
class Heartbeat : public QObject
{
public:
    Heartbeat()
    {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] { beat(); });
    }
    void start()
    {
        m_sinceBeat.start();
        m_timer.start();
    }
    void setScan(int scan) { m_scan = scan; }
    qint64 longestGapMs() const { return m_longestMs; }
    int longestGapScan() const { return m_longestScan; }

private:
    void beat()
    {
        const qint64 gap = m_sinceBeat.restart();
        if (gap > m_longestMs) {
            m_longestMs = gap;
            m_longestScan = m_scan;
        }
    }

    QTimer m_timer;
    QElapsedTimer m_sinceBeat;
    qint64 m_longestMs = 0;
    int m_scan = 0;
    int m_longestScan = 0;
};

// Ends the process when no scan has finished for too long: a hang inside a reply wait
// keeps the event loop busy, so the check runs on a thread of its own.
class Watchdog
{
public:
    Watchdog() : m_thread([this] { watch(); }) {}
    ~Watchdog()
    {
        m_stopping = true;
        m_thread.join();
    }
    void scanStarting(int scan)
    {
        m_scan = scan;
        m_lastProgress = now();
    }
    void scanEnded() { m_lastProgress = now(); }

private:
    static qint64 now()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void watch()
    {
        while (!m_stopping) {
            std::this_thread::sleep_for(200ms);
            if (now() - m_lastProgress > std::chrono::milliseconds(HangLimit).count()) {
                std::fprintf(stderr, "HUNG: scan %d has not ended after %lld s\n", m_scan.load(),
                             static_cast<long long>(HangLimit.count()));
                std::_Exit(3);
            }
        }
    }

    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_scan{0};
    std::atomic<qint64> m_lastProgress{now()};
    std::thread m_thread;
};

struct Figures
{
    qint64 rssKb = 0;
    int fds = 0;
    static Figures now()
    {
        // Painting scales pixmaps on Qt's pooled threads, which linger 30 s with a
        // descriptor each; they are parked first so only the program's own are counted.
        QThreadPool::globalInstance()->waitForDone();
        return {residentKb(), openFds()};
    }
};

// Drives the window through the schedule, one step per pass of the event loop.
class Soak : public QObject
{
public:
    explicit Soak(int scans) : m_scans(scans)
    {
        m_window.link().setReplyWindowForTesting(ReplyWindow);
        m_readers.add(sim::Reader{}); // address 0 and 126: the ends of the range
        sim::Reader last;
        last.address = LastAddress;
        m_readers.add(last);
        m_readers.putOn(m_line->bus());
        m_window.show();
    }

    void start()
    {
        m_took.start();
        m_heartbeat.start();
        QTimer::singleShot(0, this, [this] { nextScan(); });
    }

    bool report() const;

private:
    template <typename T> T *control(const char *name)
    {
        return m_window.findChild<T *>(QLatin1String(name));
    }
    QString status() { return control<QLabel>("Label2")->text(); }
    QStringList listed();
    // The address whose reply window is open, from the status line; -1 when none is.
    int addressBeingChecked();

    void nextScan();
    void prepare(const Step &step);
    void scan(const Step &step);
    void judge(const Step &step, const QStringList &expected);
    void recover(const Step &step);
    void mismatch(const Step &step, const QString &what);
    void plugBackIn();
    void finish();

    const int m_scans;
    std::unique_ptr<SimulatedLine> m_line = std::make_unique<SimulatedLine>(1);
    ScriptedWindowDialogs m_dialogs;
    MainWindow m_window{&m_dialogs};
    ReaderSet m_readers;
    Schedule m_schedule;
    Heartbeat m_heartbeat;
    Watchdog m_watchdog;
    std::unique_ptr<QObject> m_scanScope; // owns the scan's watchers: none outlives it
    int m_unpluggedAt = -1;

    int m_scansRun = 0;
    int m_checked = 0;
    int m_stoppedByUnplug = 0;
    std::map<Trouble, int> m_uncertain;
    int m_unplugs = 0;
    QStringList m_mismatches;
    qint64 m_longestScanMs = 0;
    Figures m_afterWarmUp;
    Figures m_atEnd;
    QElapsedTimer m_took;
};

QStringList Soak::listed()
{
    QStringList entries;
    auto *list = control<QListWidget>("List1");
    for (int row = 0; row < list->count(); ++row)
        entries << list->item(row)->text();
    return entries;
}

int Soak::addressBeingChecked()
{
    static const QString checking = QStringLiteral("Checking Address ");
    const QString text = status();
    return text.startsWith(checking) ? text.mid(checking.size()).toInt() : -1;
}

void Soak::nextScan()
{
    if (m_scansRun == std::min(WarmUpScans, m_scans))
        m_afterWarmUp = Figures::now();
    if (m_scansRun == m_scans) {
        finish();
        return;
    }
    const Step step = m_schedule.next(m_scansRun, m_readers);
    m_watchdog.scanStarting(m_scansRun + 1);
    m_heartbeat.setScan(m_scansRun + 1);
    prepare(step);
    // A pulled adapter is noticed by the window between scans before the operator clicks.
    QTimer::singleShot(step.trouble == Trouble::UnplugBefore ? 50 : 0, this,
                       [this, step] { scan(step); });
}

void Soak::prepare(const Step &step)
{
    if (step.leaving) {
        m_readers.remove(*step.leaving);
        m_line->bus().removeReader(*step.leaving);
    }
    if (step.joining) {
        m_readers.add(*step.joining);
        m_line->bus().addReader(*step.joining);
    }
    m_scanScope = std::make_unique<QObject>();
    m_unpluggedAt = -1;
    sim::ReaderBus &bus = m_line->bus();
    switch (step.trouble) {
    case Trouble::None:
        break;
    case Trouble::Babble:
        once(
            m_scanScope.get(), [this, step] { return addressBeingChecked() >= step.from; },
            [&bus] { bus.setBabbling(true); });
        once(
            m_scanScope.get(), [this, step] { return addressBeingChecked() >= step.to; },
            [&bus] { bus.setBabbling(false); });
        break;
    case Trouble::LateReader: {
        // On the line for this scan only: the set of readers never holds it.
        sim::Reader late;
        late.address = step.from;
        late.fault = sim::Fault::Late;
        bus.addReader(late);
        break;
    }
    case Trouble::UnplugDuring:
        once(
            m_scanScope.get(), [this, step] { return addressBeingChecked() >= step.from; },
            [this, &bus] {
                m_unpluggedAt = addressBeingChecked();
                bus.unplug();
            });
        break;
    case Trouble::UnplugBefore:
        bus.unplug();
        break;
    }
}

void Soak::scan(const Step &step)
{
    const QStringList expectedBefore = m_readers.expectedEntries();
    QElapsedTimer took;
    took.start();
    control<QPushButton>("Command2")->click(); // the whole scan runs inside
    m_longestScanMs = std::max(m_longestScanMs, took.elapsed());
    m_line->bus().setBabbling(false);
    m_scanScope.reset();
    ++m_scansRun;
    judge(step, expectedBefore);
    m_line->bus().clearTrace(); // the simulator keeps every byte; that is not our memory
    m_watchdog.scanEnded();

    if (m_scansRun % 50 == 0)
        std::fprintf(stderr, "soak: %d/%d scans, %lld mismatches, %.0f s\n", m_scansRun, m_scans,
                     static_cast<long long>(m_mismatches.size()),
                     static_cast<double>(m_took.elapsed()) / 1000.0);
    // A late answer still on its way is let in before the next scan, whose first
    // discard then drops it; otherwise it would land in that scan's windows.
    // An adapter is plugged back in on a later pass of the event loop, as an operator's
    // click on the radio comes.
    const auto pause = step.trouble == Trouble::LateReader ? sim::LateReplyDelay + 50ms : 0ms;
    QTimer::singleShot(pause, this, [this, step] {
        recover(step);
        nextScan();
    });
}

void Soak::judge(const Step &step, const QStringList &expected)
{
    const QString shown = status();
    const QStringList entries = listed();
    if (!control<QPushButton>("Command2")->isEnabled())
        mismatch(step, QStringLiteral("the scan button stayed disabled"));
    if (!shown.startsWith(QLatin1String("There are")) &&
        !shown.startsWith(QLatin1String("Scan stopped at"))) {
        mismatch(step, QStringLiteral("the scan ended without a result: \"%1\"").arg(shown));
        return;
    }

    switch (step.trouble) {
    case Trouble::None:
        ++m_checked;
        if (entries != expected || shown != resultText(int(expected.size())))
            mismatch(step,
                     QStringLiteral("expected [%1] \"%2\"; shown [%3] \"%4\"")
                         .arg(expected.join(QLatin1String(", ")), resultText(int(expected.size())),
                              entries.join(QLatin1String(", ")), shown));
        break;
    case Trouble::UnplugBefore:
        ++m_checked;
        if (!entries.isEmpty() || !shown.startsWith(stoppedPrefix(0)))
            mismatch(step, QStringLiteral("a dead line showed [%1] \"%2\"")
                               .arg(entries.join(QLatin1String(", ")), shown));
        break;
    case Trouble::UnplugDuring: {
        // Pulled in the window of X: the wait notices at once, or the next poll does.
        ++m_checked;
        ++m_stoppedByUnplug;
        const int at = m_unpluggedAt;
        const bool stoppedThere = at >= 0 && (shown.startsWith(stoppedPrefix(at)) ||
                                              shown.startsWith(stoppedPrefix(at + 1)));
        const int stop = shown.startsWith(stoppedPrefix(at)) ? at : at + 1;
        if (!stoppedThere || entries != m_readers.expectedEntries(stop))
            mismatch(step, QStringLiteral("pulled at %1: expected [%2] and a stop there; shown "
                                          "[%3] \"%4\"")
                               .arg(at)
                               .arg(m_readers.expectedEntries(stop).join(QLatin1String(", ")),
                                    entries.join(QLatin1String(", ")), shown));
        break;
    }
    case Trouble::LateReader: {
        // Where the late answer lands depends on timing: it may list one address too many,
        // never miss one that answers in time.
        ++m_uncertain[step.trouble];
        bool allThere = true;
        for (const QString &entry : expected)
            allThere = allThere && entries.contains(entry);
        if (!allThere || entries.size() > expected.size() + 1 ||
            shown != resultText(int(entries.size())))
            mismatch(step, QStringLiteral("late reader at %1: expected [%2] and at most one "
                                          "more; shown [%3] \"%4\"")
                               .arg(step.from)
                               .arg(expected.join(QLatin1String(", ")),
                                    entries.join(QLatin1String(", ")), shown));
        break;
    }
    case Trouble::Babble:
        ++m_uncertain[step.trouble];
        break;
    }
}

void Soak::recover(const Step &step)
{
    if (step.trouble == Trouble::LateReader)
        m_line->bus().removeReader(step.from);
    if (step.trouble == Trouble::UnplugBefore || step.trouble == Trouble::UnplugDuring) {
        ++m_unplugs;
        plugBackIn();
    }
}

void Soak::plugBackIn()
{
    // The adapter comes back as a new device node; Com 1 must open that one.
    m_line = std::make_unique<SimulatedLine>(1);
    m_readers.putOn(m_line->bus());
    control<QRadioButton>("Option1")->click();
    if (!m_window.port().isOpen() || m_window.port().device() != m_line->device())
        m_mismatches << QStringLiteral("after scan %1 Com 1 did not reopen on the new line: "
                                       "open %2, device %3, status \"%4\"")
                            .arg(m_scansRun)
                            .arg(m_window.port().isOpen() ? 1 : 0)
                            .arg(m_window.port().device(), status());
}

void Soak::mismatch(const Step &step, const QString &what)
{
    m_mismatches << QStringLiteral("scan %1 (%2): %3")
                        .arg(m_scansRun)
                        .arg(QLatin1String(troubleName(step.trouble)), what);
}

void Soak::finish()
{
    m_atEnd = Figures::now();
    QCoreApplication::exit(report() ? 0 : 1);
}

bool Soak::report() const
{
    int uncertain = 0;
    for (const auto &entry : m_uncertain)
        uncertain += entry.second;
    const qint64 grownKb = m_atEnd.rssKb - m_afterWarmUp.rssKb;
    const bool memoryKept = grownKb <= MemorySlackKb;
    // Fewer is no leak: on Qt 6.8 the descriptors of pooled threads that painted during
    // the first scans may still be open when they are first counted, and gone later.
    const bool fdsKept = m_atEnd.fds <= m_afterWarmUp.fds;
    const bool passed = m_mismatches.isEmpty() && memoryKept && fdsKept;

    std::printf("rollcall soak: %d scans by the scan button of the window, offscreen, on a "
                "simulated Com 1\n",
                m_scansRun);
    std::printf("  reply window %lld ms instead of 200 (a late reader answers after %lld ms); "
                "schedule seed %u\n",
                static_cast<long long>(ReplyWindow.count()),
                static_cast<long long>(sim::LateReplyDelay.count()), Seed);
    std::printf("scans run               %d\n", m_scansRun);
    std::printf("  checked exactly       %d (%d of them stopped by an unplug: list up to the "
                "stop)\n",
                m_checked, m_stoppedByUnplug);
    std::printf("  uncertain             %d (babble %d: must end; late reader %d: must miss "
                "nobody, may list one more)\n",
                uncertain, m_uncertain.count(Trouble::Babble) ? m_uncertain.at(Trouble::Babble) : 0,
                m_uncertain.count(Trouble::LateReader) ? m_uncertain.at(Trouble::LateReader) : 0);
    std::printf("  adapter unplugged     %d times, each time reopened by the Com 1 radio\n",
                m_unplugs);
    std::printf("mismatches              %lld\n", static_cast<long long>(m_mismatches.size()));
    for (int i = 0; i < std::min<int>(MismatchesShown, int(m_mismatches.size())); ++i)
        std::printf("  %s\n", qPrintable(m_mismatches.at(i)));
    std::printf("resident memory         %lld kB after %d scans, %lld kB at the end (%+lld kB; "
                "allowed +%lld kB)%s\n",
                static_cast<long long>(m_afterWarmUp.rssKb), std::min(WarmUpScans, m_scans),
                static_cast<long long>(m_atEnd.rssKb), static_cast<long long>(grownKb),
                static_cast<long long>(MemorySlackKb), memoryKept ? "" : "  GREW");
    std::printf("open file descriptors   %d after %d scans, %d at the end%s\n", m_afterWarmUp.fds,
                std::min(WarmUpScans, m_scans), m_atEnd.fds, fdsKept ? "" : "  GREW");
    std::printf("longest event-loop gap  %lld ms (10 ms heartbeat; in scan %d)\n",
                static_cast<long long>(m_heartbeat.longestGapMs()), m_heartbeat.longestGapScan());
    std::printf("longest scan            %.2f s\n", static_cast<double>(m_longestScanMs) / 1000.0);
    std::printf("total time              %.1f s\n", static_cast<double>(m_took.elapsed()) / 1000.0);
    std::printf("result                  %s\n", passed ? "PASS" : "FAIL");
    std::fflush(stdout);
    return passed;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int scans = DefaultScans;
    if (argc > 1) {
        bool ok = false;
        scans = QString::fromLocal8Bit(argv[1]).toInt(&ok);
        if (!ok || scans < 1) {
            std::fprintf(stderr, "usage: rollcall-soak [SCANS]\n");
            return 2;
        }
    }
    for (int port = 1; port <= 5; ++port)
        unmapPort(port);
    Soak soak(scans);
    soak.start();
    return QApplication::exec();
}
