#include "line/serialportlist.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSerialPortList : public QObject
{
    Q_OBJECT
private slots:
    void theReportListsEveryPortWithWhatIsKnownOfItAndHowToMapOne()
    {
        const SerialPortList ports({{"/dev/ttyS0", "", "", ""},
                                    {"/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI"},
                                    {"/dev/ttyACM1", "  ", "Prolific ", ""}});
        const QStringList lines = ports.report(2).split(QLatin1Char('\n'));
        QVERIFY(lines.contains("/dev/ttyUSB0: FT232R USB UART, FTDI, serial number A50285BI"));
        QVERIFY(lines.contains("/dev/ttyS0")); // nothing known, no dangling separators
        QVERIFY(lines.contains("/dev/ttyACM1: Prolific"));
        const QString report = ports.report(2);
        // The example is the adapter the system can name, not the first port listed.
        QVERIFY2(report.contains("--com 2=/dev/ttyUSB0") && report.contains("ROLLCALL_COM2="),
                 qPrintable(report));
        QVERIFY(!report.contains("No serial ports"));
    }

    void withoutPortsTheReportSaysSoAndStillShowsHowToMapOne()
    {
        const QString report = SerialPortList().report(4);
        QVERIFY(report.contains("No serial ports were found"));
        QVERIFY(report.contains("--com 4="));
    }

    void whatIsBehindADeviceFollowsLinksToIt()
    {
        QTemporaryDir dir;
        const QString node = dir.filePath("ttyUSB3");
        QFile file(node);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QString byId = dir.filePath("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
        QVERIFY(QFile::link(node, byId));
        const SerialPortList ports(
            {{"/dev/ttyS0", "", "", ""}, {node, "FT232R USB UART", "FTDI", "A50285BI"}});

        QCOMPARE(ports.whatIsBehind(node), QStringLiteral("FT232R USB UART, FTDI"));
        QCOMPARE(ports.whatIsBehind(byId), QStringLiteral("FT232R USB UART, FTDI"));
        QCOMPARE(ports.whatIsBehind("/dev/ttyS0"), QString());
        QCOMPARE(ports.whatIsBehind(dir.filePath("ttyUSB9")), QString());
    }

    void aPortGoesByTheStableLinkThatPointsAtIt()
    {
        const QList<SerialPortEntry> named =
            underStableNames({{"/dev/ttyS0", "", "", ""}, {"/dev/ttyUSB1", "", "", ""}},
                             {{"/by-id/usb-B", "/dev/ttyUSB0"}, {"/by-id/usb-A", "/dev/ttyUSB1"}});
        QCOMPARE(named[0].device, QStringLiteral("/dev/ttyS0"));
        QCOMPARE(named[1].device, QStringLiteral("/by-id/usb-A"));
    }
};

QTEST_APPLESS_MAIN(TestSerialPortList)
#include "tst_serialportlist.moc"
