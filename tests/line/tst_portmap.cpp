#include "line/portmap.h"

#include <QTest>

class TestPortMap : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        for (int port = 1; port <= 5; ++port)
            qunsetenv(("ROLLCALL_COM" + QByteArray::number(port)).constData());
    }

    void portsMapToTheSerialDevicesOfThePlatform()
    {
#ifdef Q_OS_WIN
        QCOMPARE(PortMap().deviceFor(1), QStringLiteral("COM1"));
        QCOMPARE(PortMap().deviceFor(5), QStringLiteral("COM5"));
#else
        QCOMPARE(PortMap().deviceFor(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(PortMap().deviceFor(5), QStringLiteral("/dev/ttyS4"));
#endif
    }

    void theEnvironmentOverridesOnlyThePortItNames()
    {
        qputenv("ROLLCALL_COM3", "/dev/ttyUSB0");
        QCOMPARE(PortMap().deviceFor(3), QStringLiteral("/dev/ttyUSB0"));
        QVERIFY(PortMap().deviceFor(2) != QStringLiteral("/dev/ttyUSB0"));
        QVERIFY(PortMap().deviceFor(4) != QStringLiteral("/dev/ttyUSB0"));
    }

    void aDeviceGivenForAPortWinsOverTheEnvironmentForThatPortOnly()
    {
        qputenv("ROLLCALL_COM1", "/dev/ttyUSB7");
        qputenv("ROLLCALL_COM2", "/dev/ttyUSB8");
        PortMap ports;
        ports.setDevice(1, QStringLiteral("/dev/serial/by-id/usb-FTDI_A"));
        QCOMPARE(ports.deviceFor(1), QStringLiteral("/dev/serial/by-id/usb-FTDI_A"));
        QCOMPARE(ports.deviceFor(2), QStringLiteral("/dev/ttyUSB8"));
    }

    void anEmptyOverrideIsIgnored()
    {
        qputenv("ROLLCALL_COM2", "");
        QVERIFY(!PortMap().deviceFor(2).isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
