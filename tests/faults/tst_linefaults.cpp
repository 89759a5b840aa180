#include "bus/frames.h"
#include "bus/replytimer.h"
#include "commands/busscan.h"
#include "tests/support/linefixture.h"
#include "tests/support/scriptedwindowdialogs.h"
#include "window/mainwindow.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <ctime>
#include <memory>
#include <unistd.h>

namespace {

constexpr int QuickWindowMs = 60;

// CPU used while the event loop idles for `ms`: a port in an error storm costs a core.
double idleCpuMs(int ms)
{
    const double before = cpuMs();
    QTest::qWait(ms);
    return cpuMs() - before;
}

template <typename T> T *control(MainWindow &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

// The window on a simulated Com 1 with quick reply windows, answering dialogs from a script.
struct WindowOnLine
{
    WindowOnLine()
    {
        window.link().setReplyWindowForTesting(std::chrono::milliseconds(QuickWindowMs));
    }
    QString status() { return control<QLabel>(window, "Label2")->text(); }
    // Runs `action` once the status line reads `text`, from inside the command's wait.
    void when(const QString &text, const std::function<void()> &action)
    {
        const auto shown = [this, text] { return status() == text; };
        once(&window, shown, action);
    }

    std::unique_ptr<SimulatedLine> line = std::make_unique<SimulatedLine>(1);
    ScriptedWindowDialogs dialogs;
    MainWindow window{&dialogs};
};

} // namespace

class TestLineFaults : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        for (int port = 1; port <= 5; ++port)
            unmapPort(port);
    }

    void aBabblingDeviceNeitherHangsNorGrowsMemoryNorStarvesTheWindow()
    {
        LineFixture f(QuickWindowMs);
        f.addReaders({4, 90});
        BusScan scan(f.link);
        // From the first poll on: heard while the line is listened to first, it would be
        // another device talking, and the scan would stop before it began.
        QObject::connect(&scan, &BusScan::statusChanged, [&] { f.bus().setBabbling(true); });
        QSignalSpy status(&scan, &BusScan::statusChanged);
        QSignalSpy windows(&f.link, &ReaderLink::replyWindowMeasured);

        // A heartbeat stands for the operator's clicks: each must be handled promptly.
        QElapsedTimer sinceBeat;
        qint64 longestGap = 0;
        QTimer heartbeat;
        heartbeat.setInterval(10);
        QObject::connect(&heartbeat, &QTimer::timeout,
                         [&] { longestGap = std::max(longestGap, sinceBeat.restart()); });
        const qint64 memoryBefore = residentKb();
        sinceBeat.start();
        heartbeat.start();
        scan.run();
        heartbeat.stop();
        f.bus().setBabbling(false);

        QCOMPARE(windows.count(), 127);
        QVERIFY(status.last().at(0).toString().startsWith(QLatin1String("There are")));
        qint64 mostWaiting = 0;
        for (const QList<QVariant> &w : windows)
            mostWaiting = std::max(mostWaiting, w.at(2).toLongLong());
        qInfo("babbled %lld bytes; at most %lld waiting; longest gap %lld ms; RSS %+lld kB",
              f.bus().babbleBytesSent(), mostWaiting, longestGap, residentKb() - memoryBefore);
        QVERIFY2(f.bus().babbleBytesSent() > 100'000, "the device hardly babbled");
        // Qt's buffer is capped; the rest stays in the tty, whose buffer is bounded too.
        QVERIFY2(mostWaiting <= Line::ReceiveBufferSize + 64LL * 1024,
                 qPrintable(QString::number(mostWaiting)));
        QVERIFY2(residentKb() - memoryBefore < 20LL * 1024,
                 qPrintable(QStringLiteral("grew %1 kB").arg(residentKb() - memoryBefore)));
        QVERIFY2(longestGap < 1000,
                 qPrintable(QStringLiteral("window starved %1 ms").arg(longestGap)));
    }

    // Every address answers with random bytes: a reader is listed exactly when its reply
    // has two or more bytes and starts with STX or ACK.
    void randomRepliesAreJudgedByCountAndFirstByteOnly()
    {
        LineFixture f(QuickWindowMs);
        QRandomGenerator random(7);
        QStringList expected;
        for (int address = 0; address <= 126; ++address) {
            sim::Reader reader;
            reader.address = address;
            const int length = random.bounded(6);
            QByteArray reply;
            for (int i = 0; i < length; ++i) {
                // STX and ACK a quarter of the time each, any byte otherwise.
                const char picks[] = {frames::STX, frames::ACK};
                const int pick = random.bounded(4);
                reply.append(pick < 2 ? picks[pick] : static_cast<char>(random.bounded(256)));
            }
            if (reply.isEmpty())
                reader.fault = sim::Fault::Silent;
            reader.reply = reply;
            f.bus().addReader(reader);
            if (reply.size() >= 2 && (reply[0] == frames::STX || reply[0] == frames::ACK))
                expected << BusScan::listEntry(address);
        }
        BusScan scan(f.link);
        QSignalSpy listed(&scan, &BusScan::readerListed);
        QSignalSpy status(&scan, &BusScan::statusChanged);
        scan.run();
        QCOMPARE(texts(listed), expected);
        QCOMPARE(status.last().at(0).toString(), BusScan::resultText(expected.size()));
    }

    // Noise at random moments from the first poll on: whatever lands where, the scan ends,
    // lists each address at most once in ascending order and counts what it listed, or
    // stops because the noise held what only a master sends.
    void lineNoiseNeverBreaksTheScan()
    {
        LineFixture f(QuickWindowMs);
        f.addReaders({1, 50, 126});
        QRandomGenerator random(2026);
        QTimer noise;
        noise.setInterval(7);
        QObject::connect(&noise, &QTimer::timeout, [&] {
            QByteArray bytes;
            for (int n = random.bounded(1, 12); n > 0; --n)
                bytes.append(static_cast<char>(random.bounded(256)));
            f.bus().injectNoise(bytes);
        });
        BusScan scan(f.link);
        QSignalSpy listed(&scan, &BusScan::readerListed);
        QSignalSpy status(&scan, &BusScan::statusChanged);
        QSignalSpy stopped(&scan, &BusScan::stopped);
        QObject::connect(&scan, &BusScan::statusChanged, [&] {
            if (!noise.isActive())
                noise.start();
        });
        scan.run();
        noise.stop();

        const QStringList entries = texts(listed);
        QStringList sorted = entries;
        sorted.sort();
        sorted.removeDuplicates();
        QCOMPARE(entries, sorted);
        if (stopped.isEmpty())
            QCOMPARE(status.last().at(0).toString(), BusScan::resultText(entries.size()));
        else
            QVERIFY(stopped.at(0).at(1).value<StopReason>().isOtherMaster());
    }

    void anAdapterPulledMidScanStopsItThenARadioReopensAReturningDevice()
    {
        WindowOnLine w;
        w.line->bus().addReader(sim::Reader{});
        w.when(QStringLiteral("Checking Address 007"), [&] { w.line->bus().unplug(); });
        control<QPushButton>(w.window, "Command2")->click();

        QVERIFY2(w.status().startsWith(QLatin1String("Scan stopped at 007: adapter unplugged")),
                 qPrintable(w.status()));
        QCOMPARE(control<QListWidget>(w.window, "List1")->count(), 1); // Address 000 kept
        QVERIFY(control<QPushButton>(w.window, "Command2")->isEnabled());
        QVERIFY(!w.window.port().isOpen());
        const double cpu = idleCpuMs(500);
        QVERIFY2(cpu < 150, qPrintable(QStringLiteral("%1 ms CPU after the unplug").arg(cpu)));

        // The adapter comes back (as a new device node) and the operator picks Com 1 again.
        w.line = std::make_unique<SimulatedLine>(1);
        control<QRadioButton>(w.window, "Option1")->click();
        QVERIFY(w.window.port().isOpen());
        QVERIFY(w.dialogs.messages.isEmpty());
    }

    // Pulled right after a tick: the loss is not yet reported when the next poll starts,
    // so it is the discard or the ACK's write that finds the device gone.
    void anAdapterPulledBetweenTwoPollsStopsTheScanBeforeTheNextAck()
    {
        WindowOnLine w;
        QSignalSpy windows(&w.window.link(), &ReaderLink::replyWindowMeasured);
        connect(&w.window.link(), &ReaderLink::replyWindowMeasured, &w.window, [&](int address) {
            if (address == 3)
                w.line->bus().unplug();
        });
        control<QPushButton>(w.window, "Command2")->click();

        QVERIFY2(w.status().startsWith(QLatin1String("Scan stopped at 004: adapter unplugged")),
                 qPrintable(w.status()));
        QCOMPARE(windows.count(), 4);
        QCOMPARE(hex(w.line->bus().received()), hex(scanTraffic(0, 3)));
        QVERIFY(control<QPushButton>(w.window, "Command2")->isEnabled());
    }

    void anAdapterPulledDuringAnAssignmentStopsItWhereverItIs_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::newRow("in the window of the poll of 0") << "poll0";
        QTest::newRow("between the poll and the dialog") << "dialog";
        QTest::newRow("in the window of the poll of the new address") << "poll7";
    }
    void anAdapterPulledDuringAnAssignmentStopsItWhereverItIs()
    {
        QFETCH(QString, moment);
        WindowOnLine w;
        w.line->bus().addReader(sim::Reader{});
        w.dialogs.answers << QStringLiteral("7");
        auto pull = [&] { w.line->bus().unplug(); };
        QSignalSpy windows(&w.window.link(), &ReaderLink::replyWindowMeasured);
        if (moment == QLatin1String("dialog")) {
            w.dialogs.whileAsking = [&] {
                pull();
                QTest::qWait(100);
            };
        } else {
            const int pollsBefore = moment == QLatin1String("poll0") ? 0 : 1;
            auto *replyTimer = w.window.findChild<ReplyTimer *>(QStringLiteral("Timer1"));
            once(
                &w.window,
                [&windows, replyTimer, pollsBefore] {
                    return windows.count() == pollsBefore && replyTimer->isActive();
                },
                pull);
        }
        control<QPushButton>(w.window, "Command1")->click();

        QVERIFY2(w.status().startsWith(QLatin1String("Address change stopped: adapter unplugged")),
                 qPrintable(w.status()));
        QVERIFY(w.dialogs.messages.isEmpty());
        QVERIFY(!w.line->bus().received().contains(QByteArray::fromHex("8002004941")));
        QVERIFY(control<QPushButton>(w.window, "Command1")->isEnabled());
        const double cpu = idleCpuMs(400);
        QVERIFY2(cpu < 150, qPrintable(QStringLiteral("%1 ms CPU after the unplug").arg(cpu)));
    }

    void aDeviceHeldByAnotherProgramIsInvalidAndItsHolderKeepsWorking()
    {
        SimulatedLine com1(1);
        SimulatedLine com2(2);
        Line holder;
        holder.choosePort(2);
        QVERIFY(holder.open());

        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        control<QRadioButton>(window, "Option2")->click();
        QCOMPARE(dialogs.messages, QStringList{QStringLiteral("Invalid Com Port")});
        QVERIFY2(dialogs.details.first().contains(QLatin1String("in use")),
                 qPrintable(dialogs.details.first()));
        QVERIFY(!window.port().isOpen());

        QVERIFY(holder.write(QByteArray("\x06", 1)));
        QVERIFY(com2.bus().waitForReceived(1, 2000));
    }

    void aDeviceHeldAtStartUpIsExplainedInTheStatusLine()
    {
        SimulatedLine com1(1);
        Line holder;
        QVERIFY(holder.open());
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        const QString status = control<QLabel>(window, "Label2")->text();
        QVERIFY2(status.contains(QLatin1String("Com 1")) &&
                     status.contains(QLatin1String("in use")),
                 qPrintable(status));
        QVERIFY(dialogs.messages.isEmpty());
    }

    void aDeviceWithoutPermissionNamesTheDialoutGroup()
    {
        if (::geteuid() == 0)
            QSKIP("root may open any device; this case needs an ordinary user");
        SimulatedLine com1(1);
        QFile::setPermissions(com1.device(), QFileDevice::ReadOwner); // no write for anyone
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        const QString status = control<QLabel>(window, "Label2")->text();
        QVERIFY2(status.contains(QLatin1String("dialout")), qPrintable(status));
    }
};

QTEST_MAIN(TestLineFaults)
#include "tst_linefaults.moc"
