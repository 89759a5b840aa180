#include "tests/e2e/e2e.h"
#include "tests/support/simulatedline.h"

// Closing the window in the middle of a scan ends the program at once: the scan stops
// on the spot, nothing more goes out on the line, and the port is given back.
class TestE2eCloseMidScan : public QObject
{
    Q_OBJECT

private slots:
    void closingDuringScanEndsAtOnce();
};

void TestE2eCloseMidScan::closingDuringScanEndsAtOnce()
{
    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    QVERIFY(bus.isValid());
    for (int address : {0, 3})
        bus.addReader(e2e::reader(address));
    const SerialLockFile lock(device);

    RealProgram program(e2e::program());
    program.mapPort(1, device);
    QVERIFY2(program.start(), program.why());
    E2E_CHECK(e2e::expectLockHeld(lock, program));

    QVERIFY2(program.click("Command2"), program.why());
    QVERIFY2(bus.waitForReceived(e2e::PollSize, 5000), "the scan did not start");
    QTest::qWait(1000);

    const int atRequest = int(bus.received().size());
    E2E_CHECK(e2e::closeAndExpectCleanExit(program, lock));
    QTest::qWait(50); // what the program wrote just before it ended may still sit in the pty
    const int atExit = int(bus.received().size());
    qInfo("%d bytes before the close request, %d when the program had ended", atRequest, atExit);
    // Well inside the scan: about five polls, far from the 127 of a whole one.
    QVERIFY2(atRequest >= 3 * e2e::PollSize && atRequest < e2e::ScanBytes / 2,
             qPrintable(QString::number(atRequest)));
    // A poll already on its way may still arrive, nothing after it.
    QVERIFY2(atExit - atRequest <= e2e::PollSize, qPrintable(QString::number(atExit)));
    // What went out is an unbroken prefix of the scan.
    QCOMPARE(e2e::hex(bus.received()), e2e::hex(e2e::fullScan().left(atExit)));
    QCOMPARE(atExit % e2e::PollSize, 0);

    QTest::qWait(500);
    QCOMPARE(int(bus.received().size()), atExit);
}

QTEST_GUILESS_MAIN(TestE2eCloseMidScan)
#include "tst_e2e_closemidscan.moc"
