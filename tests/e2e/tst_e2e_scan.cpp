#include "tests/e2e/e2e.h"
#include "tests/support/screenshot.h"
#include "tests/support/simulatedline.h"

#include <QElapsedTimer>

// "Show Addresses of Readers Online" clicked in the real window polls every address
// once, in order, each behind its lone ACK, and lists the readers that answered.
class TestE2eScan : public QObject
{
    Q_OBJECT

private slots:
    void scanThroughTheWindow();
};

void TestE2eScan::scanThroughTheWindow()
{
    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    QVERIFY(bus.isValid());
    for (int address : {0, 5, 126})
        bus.addReader(e2e::reader(address));
    // Answers, but not with a reply a reader gives: polled, never listed.
    bus.addReader(e2e::reader(9, sim::Fault::WrongFirstByte));
    const SerialLockFile lock(device);

    RealProgram program(e2e::program());
    program.mapPort(1, device);
    QVERIFY2(program.start(), program.why());
    E2E_CHECK(e2e::expectLockHeld(lock, program));

    QElapsedTimer scan;
    scan.start();
    QVERIFY2(program.click("Command2"), program.why());
    // Every address but the last takes a full reply window before the poll of 126.
    const int pollOfLastDue = e2e::LastAddress * e2e::ReplyWindowMs;
    QVERIFY2(bus.waitForReceived(e2e::ScanBytes, pollOfLastDue + 15000),
             qPrintable(QStringLiteral("only %1 of %2 bytes arrived")
                            .arg(bus.received().size())
                            .arg(e2e::ScanBytes)));
    qInfo("poll of 126 arrived %lld ms after the click", scan.elapsed());
    QTest::qWait(2 * e2e::ReplyWindowMs); // its reply window, and the result painted

    QCOMPARE(e2e::hex(bus.received()), e2e::hex(e2e::fullScan()));

    // The readers did answer, each once, in address order.
    const QByteArray ok("\x02OK\x03", 4);
    const QByteArray wrongFirst("\x15\x03", 2);
    QCOMPARE(e2e::hex(bus.sent()), e2e::hex(ok + ok + wrongFirst + ok));
    QCOMPARE(e2e::answeredPolls(bus.trace()), QList<int>({0, 5, 9, 126}));

    // Each address had its whole reply window before the next poll. Checked over the
    // whole scan: the bus stamps a poll when it reads it, a little after it was sent, so
    // a single gap may look a few milliseconds short.
    const QList<qint64> starts = e2e::pollTimes(bus.trace());
    QCOMPARE(starts.size(), e2e::LastAddress + 1);
    const qint64 spanMs = (starts.last() - starts.first()) / 1'000'000;
    qInfo("first to last poll: %lld ms", spanMs);
    QVERIFY2(spanMs >= pollOfLastDue - 5, qPrintable(QStringLiteral("%1 ms").arg(spanMs)));

    const QString path = e2e::artifact(QStringLiteral("rollcall-scan.png"));
    E2E_CHECK(e2e::saveScreenshot(program, path));
    const Screenshot shot(path);
    QCOMPARE(shot.size(), layout::clientSize());
    // "Address 000", "Address 005", "Address 126".
    QCOMPARE(shot.textLines(e2e::listArea()), 3);

    const ProcessUsage usage = program.usage();
    QVERIFY(usage.valid);
    qInfo("after the scan: cpu %lld ms, peak rss %lld KiB", usage.cpuMilliseconds,
          usage.peakRssKiB);

    const int beforeClose = int(bus.received().size());
    E2E_CHECK(e2e::closeAndExpectCleanExit(program, lock));
    QCOMPARE(int(bus.received().size()), beforeClose);
}

QTEST_GUILESS_MAIN(TestE2eScan)
#include "tst_e2e_scan.moc"
