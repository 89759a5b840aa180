#include "tests/e2e/e2e.h"
#include "tests/support/screenshot.h"
#include "tests/support/simulatedline.h"

#include <QElapsedTimer>

// The window opens on a simulated line, holds the port, and closing it ends the
// program at once and gives the port back.
class TestE2eWindow : public QObject
{
    Q_OBJECT

private slots:
    void opensOnPtyAndClosesCleanly();
    void comRadioMovesThePort();
};

void TestE2eWindow::opensOnPtyAndClosesCleanly()
{
    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    QVERIFY(bus.isValid());
    const SerialLockFile lock(device);

    RealProgram program(e2e::program());
    program.mapPort(1, device);
    QElapsedTimer startup;
    startup.start();
    QVERIFY2(program.start(), program.why());
    qInfo("window 0x%x shown %lld ms after start", program.window(), startup.elapsed());

    E2E_CHECK(e2e::expectLockHeld(lock, program));

    QTest::qWait(500); // let the first paint land before the picture is taken
    const QString path = e2e::artifact(QStringLiteral("rollcall-window.png"));
    E2E_CHECK(e2e::saveScreenshot(program, path));
    const Screenshot shot(path);
    QVERIFY(!shot.isNull());
    QCOMPARE(shot.size(), layout::clientSize());
    QCOMPARE(shot.size(), QSize(681, 239));
    // Painted, not a blank rectangle: the buttons show their captions, the list is empty.
    for (const char *button : {"Command1", "Command2"}) {
        const QRect inside = layout::pixels(layout::placementOf(button)).adjusted(4, 4, -4, -4);
        QVERIFY2(shot.textLines(inside) > 0, button);
    }
    QCOMPARE(shot.textLines(e2e::listArea()), 0);

    const ProcessUsage usage = program.usage();
    QVERIFY(usage.valid);
    QVERIFY(usage.peakRssKiB > 0);
    qInfo("while idle: cpu %lld ms, peak rss %lld KiB", usage.cpuMilliseconds, usage.peakRssKiB);

    // Opening the port sends nothing.
    QCOMPARE(e2e::hex(bus.received()), QByteArray());

    E2E_CHECK(e2e::closeAndExpectCleanExit(program, lock));
    QVERIFY(program.usageAtClose().valid);
}

void TestE2eWindow::comRadioMovesThePort()
{
    sim::ReaderBus com1;
    const QString com1Device = publishUniquely(com1);
    sim::ReaderBus com2;
    const QString com2Device = publishUniquely(com2);
    QVERIFY(com1.isValid() && com2.isValid());
    const SerialLockFile lock1(com1Device);
    const SerialLockFile lock2(com2Device);

    RealProgram program(e2e::program());
    program.mapPort(1, com1Device);
    program.mapPort(2, com2Device);
    QVERIFY2(program.start(), program.why());
    E2E_CHECK(e2e::expectLockHeld(lock1, program));
    QVERIFY(lock2.find().isEmpty());

    // The radio sits inside the "Comm Port" frame: a click that missed it would leave
    // the port on Com 1.
    QVERIFY2(program.click("Option2"), program.why());
    QTRY_VERIFY_WITH_TIMEOUT(lock1.find().isEmpty(), 5000);
    E2E_CHECK(e2e::expectLockHeld(lock2, program));

    // The next command talks on Com 2 only. Nobody answers at 0 there: one poll, no dialog.
    QVERIFY2(program.click("Command1"), program.why());
    QVERIFY2(com2.waitForReceived(e2e::PollSize, 5000), "nothing arrived on Com 2");
    QTest::qWait(2 * e2e::ReplyWindowMs);
    QCOMPARE(e2e::hex(com2.received()), e2e::hex(e2e::poll(0)));
    QCOMPARE(e2e::hex(com1.received()), QByteArray());

    E2E_CHECK(e2e::closeAndExpectCleanExit(program, lock2));
    QVERIFY(lock1.find().isEmpty());
}

QTEST_GUILESS_MAIN(TestE2eWindow)
#include "tst_e2e_window.moc"
