#include "line/line.h"
#include "tests/support/linefixture.h"
#include "tests/support/simulatedline.h"

#include <QSignalSpy>
#include <QTest>

#include <ctime>

namespace {
// CPU time this process has used, in milliseconds.

void settle(int ms)
{
    QTest::qWait(ms);
}
} // namespace

class TestLine : public QObject
{
    Q_OBJECT
private slots:
    void opensAt9600EightDataBitsNoParityOneStopByDefault()
    {
        SimulatedLine line(1);
        Line port;
        QVERIFY(port.open());
        QCOMPARE(line.baudRate(), 9600);
        QVERIFY(line.isRawOneStopBit());
    }

    void appliesNewSettingsOnlyAtTheNextOpen()
    {
        SimulatedLine line(2);
        Line port;
        port.choosePort(2);
        QVERIFY(port.open());
        QVERIFY(!port.setSettings(LineSettings::at(19200))); // refused while open
        port.close();
        QVERIFY(port.setSettings(LineSettings::at(19200)));
        QVERIFY(port.open());
        QCOMPARE(line.baudRate(), 19200);
        QVERIFY(line.isRawOneStopBit());
    }

    void readsWellFormedSettingsAndRefusesTheRest()
    {
        QCOMPARE(LineSettings::parse(QStringLiteral("19200,e,7,2"))->text(),
                 QStringLiteral("19200,E,7,2"));
        for (const char *malformed :
             {"9600", "9600,X,8,1", "fast,N,8,1", "9600,N,9,1", "9600,N,8,3"})
            QVERIFY2(!LineSettings::parse(QLatin1String(malformed)), malformed);
        QCOMPARE(Line().settings().text(), QStringLiteral("9600,N,8,1"));
    }

    void countsBytesStillHeldByTheKernel()
    {
        SimulatedLine line(1);
        Line port;
        QVERIFY(port.open());
        line.bus().injectNoise(QByteArray("\x02\x41\x42", 3));
        // No event processing: Qt has not read anything yet, the bytes wait in the tty.
        QTRY_COMPARE_WITH_TIMEOUT(port.count(), qint64(3), 2000);
        settle(50); // now Qt reads them into its own buffer
        QCOMPARE(port.count(), qint64(3));
    }

    void writesEveryByteValueUnchangedAndBeforeReturning()
    {
        SimulatedLine line(1);
        Line port;
        QVERIFY(port.open());
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(static_cast<char>(b));
        QVERIFY(port.write(all));
        // No event loop ran since the write: the bytes must already be with the OS.
        QVERIFY(line.bus().waitForReceived(all.size(), 2000));
        QCOMPARE(line.bus().received(), all);
    }

    void readsOneByteAtATimeInOrder()
    {
        SimulatedLine line(1);
        Line port;
        QVERIFY(port.open());
        line.bus().injectNoise(QByteArray("\x02\x41", 2));
        QTRY_COMPARE_WITH_TIMEOUT(port.count(), qint64(2), 2000);
        QCOMPARE(port.readByte(), std::optional<char>('\x02'));
        QCOMPARE(port.count(), qint64(1));
        QCOMPARE(port.readByte(), std::optional<char>('\x41'));
        QCOMPARE(port.count(), qint64(0));
    }

    void discardDropsWhatQtAndTheKernelHold()
    {
        SimulatedLine line(1);
        Line port;
        QVERIFY(port.open());
        line.bus().injectNoise(QByteArray(10, 'a'));
        QTRY_COMPARE_WITH_TIMEOUT(port.count(), qint64(10), 2000);
        settle(30); // into Qt's buffer
        line.bus().injectNoise(QByteArray(5, 'b'));
        QTRY_COMPARE_WITH_TIMEOUT(port.count(), qint64(15), 2000);
        QVERIFY(port.discard());
        QCOMPARE(port.count(), qint64(0));
        // Reading goes on normally afterwards.
        line.bus().injectNoise(QByteArray("\x06\x06", 2));
        QTRY_COMPARE_WITH_TIMEOUT(port.count(), qint64(2), 2000);
    }

    void aMissingDeviceFailsToOpenAndSaysSo()
    {
        mapPortToMissingDevice(4);
        Line port;
        port.choosePort(4);
        QVERIFY(!port.open());
        QVERIFY(!port.isOpen());
        QCOMPARE(port.problem().kind, PortProblem::Kind::DoesNotExist);
        QVERIFY2(port.problem().details().contains(QLatin1String("does not exist")),
                 qPrintable(port.problem().details()));
        QVERIFY(port.problem().details().contains(port.device()));
        unmapPort(4);
    }

    void aDeviceAnotherPortHoldsIsReportedInUse()
    {
        SimulatedLine line(1);
        Line first;
        QVERIFY(first.open());
        Line second;
        QVERIFY(!second.open());
        QCOMPARE(second.problem().kind, PortProblem::Kind::InUse);
        QVERIFY2(second.problem().details().contains(QLatin1String("in use")),
                 qPrintable(second.problem().details()));
        QVERIFY(first.write(QByteArray(1, '\x06'))); // the first holder keeps working
        QVERIFY(line.bus().waitForReceived(1, 2000));
    }

    void everyOperationRefusesOnAClosedPort()
    {
        SimulatedLine line(1);
        Line port;
        QVERIFY(!port.discard());
        QCOMPARE(port.count(), qint64(-1));
        QVERIFY(!port.write(QByteArray(1, '\x06')));
        QCOMPARE(port.readByte(), std::optional<char>());
        QVERIFY(!line.bus().waitForReceived(1, 100));
    }

    void aPulledAdapterClosesThePortOnceWithoutAnErrorStorm()
    {
        SimulatedLine line(1);
        Line port;
        QVERIFY(port.open());
        QSignalSpy lost(&port, &Line::lost);
        line.bus().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 2000);
        QVERIFY(!port.isOpen());
        QVERIFY(!port.write(QByteArray(1, '\x06')));
        QCOMPARE(port.problem().kind, PortProblem::Kind::Unplugged);
        QVERIFY(port.problem().summary().contains(line.device()));

        const double before = cpuMs();
        settle(500);
        const double used = cpuMs() - before;
        QCOMPARE(lost.count(), 1);
        QVERIFY2(used < 150, qPrintable(QStringLiteral("%1 ms of CPU while idle").arg(used)));
    }

    // The lost device is closed on the next event-loop pass; a port the operator opened
    // again before that pass is another device and must stay open.
    void aPortReopenedInTheSamePassAsTheLossStaysOpen()
    {
        SimulatedLine pulled(1);
        Line port;
        QVERIFY(port.open());
        SimulatedLine pluggedIn(1); // Com 1 now names the new device
        connect(&port, &Line::lost, &port, [&port] {
            port.close();
            QVERIFY(port.open());
        });
        QSignalSpy lost(&port, &Line::lost);
        pulled.bus().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 2000);
        settle(100);
        QVERIFY(port.isOpen());
        QVERIFY(port.write(QByteArray(1, '\x06')));
        QVERIFY(pluggedIn.bus().waitForReceived(1, 2000));
    }
};

QTEST_GUILESS_MAIN(TestLine)
#include "tst_line.moc"
