#include "bus/frames.h"
#include "commands/busscan.h"
#include "tests/support/linefixture.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <ctime>
#include <utility>

namespace {

// Short reply windows keep these scans quick; the window's real 200 ms is covered by
// the window tests and the end-to-end test.
constexpr int QuickWindowMs = 60;

sim::Reader reader(int address, sim::Fault fault = sim::Fault::None,
                   QByteArray reply = QByteArray("\x02OK\x03", 4))
{
    sim::Reader r;
    r.address = address;
    r.fault = fault;
    r.reply = std::move(reply);
    return r;
}

} // namespace

class TestBusScan : public QObject
{
    Q_OBJECT
private slots:
    void theResultTextsCountWithOneBlankOrSayNone()
    {
        QCOMPARE(BusScan::resultText(0), QStringLiteral("There are no readers online"));
        QCOMPARE(BusScan::resultText(1), QStringLiteral("There are 1 readers online"));
        QCOMPARE(BusScan::resultText(3), QStringLiteral("There are 3 readers online"));
        QCOMPARE(BusScan::resultText(127), QStringLiteral("There are 127 readers online"));
    }

    void aScanListsTheReadersWhoseReplyStartsWithStxOrAck()
    {
        LineFixture f(QuickWindowMs);
        f.bus().addReader(reader(0));
        f.bus().addReader(reader(5));
        f.bus().addReader(reader(9, sim::Fault::WrongFirstByte));
        f.bus().addReader(reader(12, sim::Fault::OneByte));
        f.bus().addReader(reader(20, sim::Fault::Silent));
        f.bus().addReader(reader(77, sim::Fault::None, QByteArray("\x06\x03", 2)));
        f.bus().addReader(reader(126));

        BusScan scan(f.link);
        QSignalSpy cleared(&scan, &BusScan::listCleared);
        QSignalSpy listed(&scan, &BusScan::readerListed);
        QSignalSpy status(&scan, &BusScan::statusChanged);
        // Every poll that left bytes, with their count, just before its address is listed.
        QStringList order;
        connect(&scan, &BusScan::replyReceived, &scan, [&](int address, qint64, qint64 bytes) {
            order << QStringLiteral("%1: %2 bytes").arg(address).arg(bytes);
        });
        connect(&scan, &BusScan::readerListed, &scan,
                [&](const QString &entry) { order << entry; });
        scan.run();

        QCOMPARE(order, QStringList({"0: 4 bytes", "Address 000", "5: 4 bytes", "Address 005",
                                     "9: 2 bytes", "12: 1 bytes", "77: 2 bytes", "Address 077",
                                     "126: 4 bytes", "Address 126"}));
        QCOMPARE(cleared.count(), 1);
        QCOMPARE(texts(listed),
                 QStringList({"Address 000", "Address 005", "Address 077", "Address 126"}));
        QStringList progress;
        for (int a = 0; a <= 126; ++a)
            progress << QStringLiteral("Checking Address %1").arg(a, 3, 10, QLatin1Char('0'));
        progress << QStringLiteral("There are 4 readers online");
        QCOMPARE(texts(status), progress);
        // Every poll in order behind its own ACK; nothing after the poll of 126.
        QCOMPARE(hex(f.bus().received()), hex(scanTraffic(0, 126)));

        // A second scan starts from an empty list and finds each reader once.
        f.bus().clearTrace();
        listed.clear();
        scan.run();
        QCOMPARE(cleared.count(), 2);
        QCOMPARE(listed.count(), 4);
    }

    void anEmptyBusEndsWithNoReadersOnline()
    {
        LineFixture f(QuickWindowMs);
        BusScan scan(f.link);
        QSignalSpy listed(&scan, &BusScan::readerListed);
        QSignalSpy status(&scan, &BusScan::statusChanged);
        scan.run();
        QCOMPARE(listed.count(), 0);
        QCOMPARE(status.count(), 128);
        QCOMPARE(status.first().at(0).toString(), QStringLiteral("Checking Address 000"));
        QCOMPARE(status.last().at(0).toString(), QStringLiteral("There are no readers online"));
    }

    void aPulledAdapterStopsTheScanWhereItWasAndKeepsTheList()
    {
        LineFixture f(QuickWindowMs);
        f.addReaders({1, 2, 100});
        BusScan scan(f.link);
        QSignalSpy listed(&scan, &BusScan::readerListed);
        QSignalSpy stopped(&scan, &BusScan::stopped);
        // Pull it out once address 10 is being polled.
        connect(&scan, &BusScan::statusChanged, &scan, [&](const QString &text) {
            if (text == QLatin1String("Checking Address 010"))
                QTimer::singleShot(QuickWindowMs / 2, [&] { f.bus().unplug(); });
        });
        scan.run();

        QCOMPARE(texts(listed), QStringList({"Address 001", "Address 002"}));
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(stopped.at(0).at(0).toInt(), 10);
        QCOMPARE(stopped.at(0).at(1).value<StopReason>().line.kind, PortProblem::Kind::Unplugged);
        QVERIFY(!f.port.isOpen());
        QCOMPARE(hex(f.bus().received()), hex(scanTraffic(0, 10)));

        const double before = cpuMs();
        QTest::qWait(400);
        const double used = cpuMs() - before;
        QVERIFY2(used < 120, qPrintable(QStringLiteral("%1 ms CPU after the unplug").arg(used)));
    }

    void aClosedPortStopsTheScanBeforeSendingAnything()
    {
        LineFixture f(QuickWindowMs);
        f.port.close();
        BusScan scan(f.link);
        QSignalSpy stopped(&scan, &BusScan::stopped);
        scan.run();
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(stopped.at(0).at(0).toInt(), 0);
        QCOMPARE(stopped.at(0).at(1).value<StopReason>().line.kind, PortProblem::Kind::None);
        QVERIFY(!f.bus().waitForReceived(1, 100));
    }

    void anAbortEndsTheScanSilentlyAndSendsNothingMore()
    {
        LineFixture f(QuickWindowMs);
        BusScan scan(f.link);
        QSignalSpy status(&scan, &BusScan::statusChanged);
        connect(&scan, &BusScan::statusChanged, &scan, [&](const QString &text) {
            if (text == QLatin1String("Checking Address 003"))
                QTimer::singleShot(10, [&] { f.link.abort(); });
        });
        scan.run();
        QCOMPARE(status.last().at(0).toString(), QStringLiteral("Checking Address 003"));
        QCOMPARE(hex(f.bus().received()), hex(scanTraffic(0, 3)));
    }
};

QTEST_GUILESS_MAIN(TestBusScan)
#include "tst_busscan.moc"
