#include "tests/e2e/e2e.h"
#include "tests/support/screenshot.h"
#include "tests/support/simulatedline.h"

// The factory-fresh reader at address 0 gets a new address through the real dialogs,
// and a scan afterwards finds it there.
class TestE2eAssignment : public QObject
{
    Q_OBJECT

private slots:
    void assignsAddressThroughTheDialogs();
};

void TestE2eAssignment::assignsAddressThroughTheDialogs()
{
    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    QVERIFY(bus.isValid());
    bus.addReader(e2e::reader(0));
    const SerialLockFile lock(device);

    RealProgram program(e2e::program());
    program.mapPort(1, device);
    QVERIFY2(program.start(), program.why());
    E2E_CHECK(e2e::expectLockHeld(lock, program));

    QVERIFY2(program.click("Command1"), program.why());
    const quint32 input = program.waitForDialog();
    QVERIFY2(input, program.why());
    // The reader at 0 was found and acknowledged before the question was asked.
    const QByteArray ack("\x06", 1);
    QCOMPARE(e2e::hex(bus.received()), e2e::hex(e2e::poll(0) + ack));
    E2E_CHECK(
        e2e::saveScreenshot(program, e2e::artifact(QStringLiteral("rollcall-input.png")), input));

    QVERIFY2(program.typeInto(input, QStringLiteral("7")), program.why());
    QVERIFY2(program.pressKey(input, QStringLiteral("Return")), program.why());
    const quint32 message = program.waitForDialog(RealProgram::DefaultTimeoutMs, input);
    QVERIFY2(message, program.why());
    E2E_CHECK(e2e::saveScreenshot(
        program, e2e::artifact(QStringLiteral("rollcall-changed-message.png")), message));
    // The box is shown once the frame is on its way; wait for its last byte.
    const QByteArray setAddress = QByteArray::fromHex("06 80 02 00 49 41 30 30 37 03");
    const QByteArray assignment = e2e::poll(0) + ack + e2e::poll(7) + setAddress;
    QVERIFY2(bus.waitForReceived(int(assignment.size()), 2000),
             e2e::hex(bus.received()).constData());
    QVERIFY2(program.pressKey(message, QStringLiteral("Return")), program.why());
    QVERIFY2(program.waitUntilHidden(message), program.why());

    // Nobody answered at 7, so the new address went to the reader at 0.
    QCOMPARE(e2e::hex(bus.received()), e2e::hex(assignment));
    QCOMPARE(bus.readerAddresses(), QList<int>({7}));
    QCOMPARE(e2e::answeredPolls(bus.trace()), QList<int>({0}));

    bus.clearTrace();
    QVERIFY2(program.click("Command2"), program.why());
    QVERIFY2(
        bus.waitForReceived(e2e::ScanBytes, e2e::LastAddress * e2e::ReplyWindowMs + 15000),
        qPrintable(QStringLiteral("only %1 bytes of the scan arrived").arg(bus.received().size())));
    QTest::qWait(2 * e2e::ReplyWindowMs);
    QCOMPARE(e2e::hex(bus.received()), e2e::hex(e2e::fullScan()));
    // The reader now answers the poll of 7, and no longer the poll of 0.
    QCOMPARE(bus.readerAddresses(), QList<int>({7}));
    QCOMPARE(e2e::answeredPolls(bus.trace()), QList<int>({7}));

    const QString path = e2e::artifact(QStringLiteral("rollcall-assigned.png"));
    E2E_CHECK(e2e::saveScreenshot(program, path));
    QCOMPARE(Screenshot(path).textLines(e2e::listArea()), 1); // "Address 007"

    E2E_CHECK(e2e::closeAndExpectCleanExit(program, lock));
}

QTEST_GUILESS_MAIN(TestE2eAssignment)
#include "tst_e2e_assignment.moc"
