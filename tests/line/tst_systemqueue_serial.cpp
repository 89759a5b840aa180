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

    // Nobody reads the far side: the pty fills and the device has stalled. An open line is
    // waited on for the whole limit; a line no longer open (a failure Qt reported on a write
    // closes it) is not waited on, and what was handed over before it went is no success.
    void givesUpOnAStalledDeviceOrALineGone_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("open");
        QTest::newRow("stalled, open") << qsizetype{1024} * 1024 << true;
        QTest::newRow("stalled, line gone") << qsizetype{1024} * 1024 << false;
        QTest::newRow("handed over, line gone") << qsizetype{1} << false;
    }

    void givesUpOnAStalledDeviceOrALineGone()
    {
        QFETCH(qsizetype, size);
        QFETCH(bool, open);
        Device device;
        QVERIFY(device.open());
        const QByteArray bytes(size, 'x');
        QCOMPARE(device.port.write(bytes), bytes.size());
        int asked = 0;
        QElapsedTimer since;
        since.start();
        QVERIFY(!SystemQueue::handOver(device.port, [&] {
            ++asked;
            return open;
        }));
        if (open)
            QVERIFY2(since.elapsed() >= SystemQueue::WriteLimit.count() - 50,
                     qPrintable(QString::number(since.elapsed())));
        else // never waited on: the limit, had it been waited, would have passed
            QVERIFY2(asked <= 2 && since.elapsed() < SystemQueue::WriteLimit.count(),
                     qPrintable(QString::number(since.elapsed())));
        if (size > 1) {
            QVERIFY(device.port.bytesToWrite() > 0);
            QVERIFY(device.port.bytesToWrite() < bytes.size()); // the pty took its fill
        }
    }
};

QTEST_GUILESS_MAIN(TestSystemQueueSerial)
#include "tst_systemqueue_serial.moc"
