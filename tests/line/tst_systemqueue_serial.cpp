#include "line/systemqueue.h"
#include "sim/pseudoterminal.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>

#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A serial device on a pty whose far side this test plays, opened as the line opens it.
struct Device
{
    sim::PseudoTerminal pty;
    QSerialPort port;

    bool open()
    {
        if (!pty.open())
            return false;
        port.setPortName(pty.slavePath());
        return port.open(QIODevice::ReadWrite);
    }

    // Waits, without an event loop, for the system to hold `count` bytes for the port.
    bool systemHolds(qint64 count)
    {
        QElapsedTimer since;
        since.start();
        while (SystemQueue::waiting(port) < count && since.elapsed() < 5000)
            std::this_thread::sleep_for(1ms);
        return SystemQueue::waiting(port) == count;
    }

    QByteArray farSideReads() const
    {
        QByteArray bytes(4096, '\0');
        const ssize_t got = ::read(pty.masterFd(), bytes.data(), bytes.size());
        return got > 0 ? bytes.left(got) : QByteArray();
    }
};

} // namespace

// Without an event loop throughout, as the line uses them.
class TestSystemQueueSerial : public QObject
{
    Q_OBJECT
private slots:
    void countsWhatArrivedOnTheDeviceAndDropsItOnDiscard()
    {
        Device device;
        QVERIFY(device.open());
        QCOMPARE(SystemQueue::waiting(device.port), 0);
        QCOMPARE(::write(device.pty.masterFd(), "\x06\x81\x05", 3), 3);
        QVERIFY(device.systemHolds(3));
        QCOMPARE(device.port.bytesAvailable(), 0); // Qt has not read it

        SystemQueue::discardReceived(device.port);
        QCOMPARE(SystemQueue::waiting(device.port), 0);
        QVERIFY(!device.port.waitForReadyRead(50));
        QCOMPARE(device.port.bytesAvailable(), 0);

        // Only what came before the discard is dropped.
        QCOMPARE(::write(device.pty.masterFd(), "\x15", 1), 1);
        QVERIFY(device.systemHolds(1));
    }

    void handsTheBytesToTheDevice()
    {
        Device device;
        QVERIFY(device.open());
        QCOMPARE(device.port.write("\x06\x80\x02\x3F\x03", 5), 5);
        QVERIFY(SystemQueue::handOver(device.port, [] { return true; }));
        QCOMPARE(device.port.bytesToWrite(), 0);
        QCOMPARE(device.farSideReads(), QByteArray("\x06\x80\x02\x3F\x03", 5));
    }

    // Nobody reads the far side: the pty fills and the device has stalled.
    void givesUpOnADeviceThatTakesNothingAfterTheWriteLimit()
    {
        Device device;
        QVERIFY(device.open());
        const QByteArray bytes(qsizetype{1024} * 1024, 'x');
        QCOMPARE(device.port.write(bytes), bytes.size());
        QElapsedTimer since;
        since.start();
        QVERIFY(!SystemQueue::handOver(device.port, [] { return true; }));
        const qint64 tookMs = since.elapsed();
        QVERIFY2(tookMs >= SystemQueue::WriteLimit.count() - 50,
                 qPrintable(QString::number(tookMs)));
        QVERIFY2(tookMs < SystemQueue::WriteLimit.count() * 3, qPrintable(QString::number(tookMs)));
        QVERIFY(device.port.bytesToWrite() > 0);
        QVERIFY(device.port.bytesToWrite() < bytes.size()); // the pty took its fill
    }

    // A line that is no longer open (a failure Qt reported on a write closes it) is not
    // waited on, and what was handed over before does not make it a success.
    void doesNotWaitOnALineNoLongerOpen()
    {
        Device device;
        QVERIFY(device.open());
        const QByteArray bytes(qsizetype{1024} * 1024, 'x');
        QCOMPARE(device.port.write(bytes), bytes.size());
        QElapsedTimer since;
        since.start();
        QVERIFY(!SystemQueue::handOver(device.port, [] { return false; }));
        QVERIFY2(since.elapsed() < SystemQueue::WriteLimit.count() / 2,
                 qPrintable(QString::number(since.elapsed())));

        // Everything handed over, yet the line went in the meantime.
        Device small;
        QVERIFY(small.open());
        QCOMPARE(small.port.write("\x06", 1), 1);
        QVERIFY(!SystemQueue::handOver(small.port, [] { return false; }));
    }
};

QTEST_GUILESS_MAIN(TestSystemQueueSerial)
#include "tst_systemqueue_serial.moc"
