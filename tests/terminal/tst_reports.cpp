#include "bus/readerlink.h"
#include "commands/busscan.h"
#include "commands/buswatch.h"
#include "line/line.h"
#include "terminal/scanreport.h"
#include "terminal/watchreport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The reports follow the commands by their signals alone, so each test emits them itself:
// nothing here opens a line.
class TestReports : public QObject
{
    Q_OBJECT
private slots:
    // The line gave a reason as a value; the reports word it, in text and in JSON, the
    // same for a scan and for a watch.
    void aStopIsWordedWithWhereAndWhy_data()
    {
        QTest::addColumn<PortProblem::Kind>("kind");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QByteArray>("otherMaster");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not open") << PortProblem::Kind::None << QString() << QByteArray()
                                  << QStringLiteral("the port is not open");
        QTest::newRow("unplugged") << PortProblem::Kind::Unplugged << QStringLiteral("/dev/ttyUSB0")
                                   << QByteArray() << QStringLiteral("adapter unplugged");
        QTest::newRow("connection lost")
            << PortProblem::Kind::ConnectionLost << QStringLiteral("rfc2217://cabinet:2217")
            << QByteArray() << QStringLiteral("connection to rfc2217://cabinet:2217 lost");
        QTest::newRow("another master")
            << PortProblem::Kind::None << QStringLiteral("/dev/ttyUSB0")
            << QByteArray::fromHex("83023F03")
            << QStringLiteral("another device is polling this line (seen: 83 02 3F 03); stop the "
                              "controller or disconnect it, then try again");
    }
    void aStopIsWordedWithWhereAndWhy()
    {
        QFETCH(PortProblem::Kind, kind);
        QFETCH(QString, device);
        QFETCH(QByteArray, otherMaster);
        QFETCH(QString, reason);
        Line line{PortMap()};
        ReaderLink link(line);
        BusScan scan(link);
        BusWatch watch(link);
        ScanReport scanReport(ReportedLine{}, ReportFormat::Json, scan);
        WatchReport watchReport(ReportedLine{}, ReportFormat::Json, watch);
        StopReason why;
        why.line.kind = kind;
        why.line.device = device;
        why.otherMaster = otherMaster;
        emit scan.stopped(4, why);
        emit watch.stopped(4, why);

        for (const std::optional<ReportedStop> &stop :
             {scanReport.results().stop, watchReport.results().stop}) {
            QVERIFY(stop);
            QCOMPARE(stop->address, 4);
            QCOMPARE(stop->reason, reason);
            QCOMPARE(stop->text, QStringLiteral("Scan stopped at 004: ") + reason);
        }
        for (const QString &json : {scanReport.json(), watchReport.summaryJson()}) {
            const QJsonObject object = QJsonDocument::fromJson(json.toUtf8()).object();
            QCOMPARE(object.value(QLatin1String("complete")).toBool(true), false);
            QCOMPARE(object.value(QLatin1String("stopped_at")).toInt(), 4);
            QCOMPARE(object.value(QLatin1String("reason")).toString(), reason);
        }
    }

    // A text scan the line ended leaves standard output without a result line: the
    // reason goes to standard error, by the terminal.
    void aTextScanEndsWithItsResultOnlyWhenItWentThrough()
    {
        Line line{PortMap()};
        ReaderLink link(line);
        BusScan scan(link);
        ScanReport report(ReportedLine{}, ReportFormat::Text, scan);
        emit scan.readerListed(BusScan::listEntry(5), 5);
        QCOMPARE(report.closingText(), QStringLiteral("There are 1 readers online"));
        emit scan.stopped(6, StopReason{});
        QCOMPARE(report.closingText(), QString());
        QCOMPARE(report.results().readers, QList<int>{5});
    }
};

QTEST_GUILESS_MAIN(TestReports)
#include "tst_reports.moc"
