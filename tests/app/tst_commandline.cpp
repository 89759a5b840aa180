#include "app/commandline.h"
#include "tests/support/openwatch.h"
#include "tests/support/simulatedline.h"

#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

namespace {

const QString Program = QStringLiteral(ROLLCALL_PROGRAM);
const QString Version = QStringLiteral(ROLLCALL_VERSION);

CommandLine parse(const QStringList &options)
{
    return CommandLine::parse(QStringList{QStringLiteral("rollcall")} + options);
}

// The environment of a machine with no display at all, as on a build server.
QProcessEnvironment headless()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    return environment;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void comMapsThePortsItNamesAndALaterOneWins();
    void comWinsOverTheEnvironmentWhichWinsOverTheDefault();
    void mistakesAreRefusedInOneLineThatNamesThem_data();
    void mistakesAreRefusedInOneLineThatNamesThem();
    void helpAndVersion();
    void theProgramAnswersWithoutADisplay_data();
    void theProgramAnswersWithoutADisplay();
    void theWindowOpensTheDeviceGivenWithCom();
};

void TestCommandLine::init()
{
    for (int port = PortMap::FirstPort; port <= PortMap::LastPort; ++port)
        unmapPort(port);
}

void TestCommandLine::comMapsThePortsItNamesAndALaterOneWins()
{
    const CommandLine line = parse({QStringLiteral("--com"), QStringLiteral("1=/dev/ttyUSB0"),
                                    QStringLiteral("--com=3=/dev/serial/by-id/usb-FTDI_A-if00"),
                                    QStringLiteral("--com"), QStringLiteral("1=/dev/ttyACM0")});
    QCOMPARE(line.action, CommandLine::Action::Run);
    QCOMPARE(line.ports.deviceFor(1), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(line.ports.deviceFor(3), QStringLiteral("/dev/serial/by-id/usb-FTDI_A-if00"));
    for (int port : {2, 4, 5})
        QCOMPARE(line.ports.deviceFor(port), PortMap().deviceFor(port));
}

void TestCommandLine::comWinsOverTheEnvironmentWhichWinsOverTheDefault()
{
    qputenv("ROLLCALL_COM1", "/dev/ttyUSB7");
    qputenv("ROLLCALL_COM2", "/dev/ttyUSB8");
    const CommandLine line = parse({QStringLiteral("--com"), QStringLiteral("1=/dev/ttyACM0")});
    QCOMPARE(line.ports.deviceFor(1), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(line.ports.deviceFor(2), QStringLiteral("/dev/ttyUSB8"));
    const QString fallback = PortMap().deviceFor(3);
    QVERIFY(!fallback.isEmpty() && !fallback.contains(QLatin1String("USB")));
    QCOMPARE(line.ports.deviceFor(3), fallback);
}

void TestCommandLine::mistakesAreRefusedInOneLineThatNamesThem_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("problem");
    const QString com = QStringLiteral("--com");
    QTest::newRow("port too high")
        << QStringList{com, QStringLiteral("7=/dev/ttyUSB0")}
        << QStringLiteral("--com 7=/dev/ttyUSB0: the port must be 1 to 5");
    QTest::newRow("port 0") << QStringList{com, QStringLiteral("0=/dev/ttyUSB0")}
                            << QStringLiteral("--com 0=/dev/ttyUSB0: the port must be 1 to 5");
    QTest::newRow("no =") << QStringList{com, QStringLiteral("/dev/ttyUSB0")}
                          << QStringLiteral("--com /dev/ttyUSB0: expected N=DEVICE");
    QTest::newRow("no device") << QStringList{com, QStringLiteral("2=")}
                               << QStringLiteral("--com 2=: the device is missing");
    QTest::newRow("port not a number")
        << QStringList{com, QStringLiteral("one=/dev/ttyUSB0")}
        << QStringLiteral("--com one=/dev/ttyUSB0: the port must be a number");
    QTest::newRow("no port") << QStringList{com, QStringLiteral("=/dev/ttyUSB0")}
                             << QStringLiteral("--com =/dev/ttyUSB0: the port must be a number");
    QTest::newRow("malformed network address")
        << QStringList{com, QStringLiteral("1=rfc2217://host")}
        << QStringLiteral("--com 1=rfc2217://host: rfc2217://host gives no port");
    QTest::newRow("bad after good")
        << QStringList{com, QStringLiteral("1=/dev/ttyUSB0"), com, QStringLiteral("6=/dev/ttyUSB1")}
        << QStringLiteral("--com 6=/dev/ttyUSB1: the port must be 1 to 5");
    QTest::newRow("no value") << QStringList{com} << QStringLiteral("missing value after '--com'");
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("--speed=1")} << QStringLiteral("unknown option 'speed'");
    QTest::newRow("Qt's own options")
        << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")}
        << QStringLiteral("unknown options: p, l, a");
    QTest::newRow("unknown command") << QStringList{QStringLiteral("/dev/ttyUSB0")}
                                     << QStringLiteral("unknown command \"/dev/ttyUSB0\"");
    QTest::newRow("stray argument") << QStringList{QStringLiteral("scan"), QStringLiteral("5")}
                                    << QStringLiteral("unexpected argument \"5\"");
    QTest::newRow("a scan's option for the window")
        << QStringList{QStringLiteral("--port"), QStringLiteral("2")}
        << QStringLiteral("--port is for scan, watch, assign, check and commission");
    QTest::newRow("addresses out of range")
        << QStringList{QStringLiteral("scan"), QStringLiteral("--addresses"),
                       QStringLiteral("0-127")}
        << QStringLiteral("--addresses 0-127: both ends must lie in 0..126");
    QTest::newRow("addresses the wrong way round")
        << QStringList{QStringLiteral("scan"), QStringLiteral("--addresses"), QStringLiteral("6-5")}
        << QStringLiteral("--addresses 6-5: the first address must not be above the last");
    QTest::newRow("baud") << QStringList{QStringLiteral("scan"), QStringLiteral("--baud"),
                                         QStringLiteral("4800")}
                          << QStringLiteral("--baud 4800: the speed must be 9600 or 19200");
    const QString watch = QStringLiteral("watch");
    QTest::newRow("window too short")
        << QStringList{QStringLiteral("scan"), QStringLiteral("--window"), QStringLiteral("9")}
        << QStringLiteral("--window 9: the reply window must be 10 to 1000 ms");
    QTest::newRow("window for the window")
        << QStringList{QStringLiteral("--window"), QStringLiteral("50")}
        << QStringLiteral("--window is for scan and watch");
    QTest::newRow("watch everything")
        << QStringList{watch} << QStringLiteral("watch: --addresses A-B is required");
    QTest::newRow("watch at two speeds")
        << QStringList{watch, QStringLiteral("--addresses"), QStringLiteral("1-2"),
                       QStringLiteral("--baud"), QStringLiteral("9600,19200")}
        << QStringLiteral("--baud 9600,19200: only scan goes through several speeds");
    const QString check = QStringLiteral("check");
    QTest::newRow("check at one speed")
        << QStringList{check, QStringLiteral("--baud"), QStringLiteral("9600")}
        << QStringLiteral("--baud is for scan, watch, assign and commission; check polls both "
                          "speeds");
    QTest::newRow("check's window")
        << QStringList{check, QStringLiteral("--window"), QStringLiteral("50")}
        << QStringLiteral("--window is for scan and watch");
    QTest::newRow("json for the window") << QStringList{QStringLiteral("--json")}
                                         << QStringLiteral("--json is for scan, watch, check and "
                                                           "commission");
    QTest::newRow("a speed twice") << QStringList{QStringLiteral("scan"), QStringLiteral("--baud"),
                                                  QStringLiteral("19200,19200")}
                                   << QStringLiteral("--baud 19200,19200: each speed once");
    const QString compare = QStringLiteral("--compare");
    QTest::newRow("compare for watch")
        << QStringList{watch, QStringLiteral("--addresses"), QStringLiteral("1-2"), compare,
                       QStringLiteral("site.json")}
        << QStringLiteral("--compare is for scan");
    QTest::newRow("compare at two speeds")
        << QStringList{QStringLiteral("scan"), QStringLiteral("--baud"),
                       QStringLiteral("9600,19200"), compare, QStringLiteral("site.json")}
        << QStringLiteral("--compare takes a scan at one speed");
    const QString commission = QStringLiteral("commission");
    QTest::newRow("commission with nowhere to start")
        << QStringList{commission} << QStringLiteral("commission: --from N is required");
    QTest::newRow("commission from address 0")
        << QStringList{commission, QStringLiteral("--from"), QStringLiteral("0")}
        << QStringLiteral("--from 0: a whole number from 1 to 126");
    QTest::newRow("commission ending below its start")
        << QStringList{commission, QStringLiteral("--from=10"), QStringLiteral("--to=9")}
        << QStringLiteral("--to 9: the last address must not be below --from 10");
    QTest::newRow("commission's window")
        << QStringList{commission, QStringLiteral("--from=10"), QStringLiteral("--window=50")}
        << QStringLiteral("--window is for scan and watch; commission always waits 200 ms");
    QTest::newRow("a range to give for a scan")
        << QStringList{QStringLiteral("scan"), QStringLiteral("--to=9")}
        << QStringLiteral("--to is for commission");
}

void TestCommandLine::mistakesAreRefusedInOneLineThatNamesThem()
{
    QFETCH(QStringList, options);
    QFETCH(QString, problem);
    const CommandLine line = parse(options);
    QCOMPARE(line.action, CommandLine::Action::Refuse);
    QVERIFY2(line.text.startsWith(QStringLiteral("rollcall: ") + problem), qPrintable(line.text));
    QVERIFY(!line.text.contains(QLatin1Char('\n')));
}

void TestCommandLine::helpAndVersion()
{
    for (const QString &option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        const CommandLine help = parse({option});
        QCOMPARE(help.action, CommandLine::Action::ShowHelp);
        QVERIFY2(help.text.startsWith(QLatin1String("Usage: rollcall [options]\n")),
                 qPrintable(help.text));
        QVERIFY(help.text.contains(QLatin1String("--com <N=DEVICE>")));
        // This system's names, filled in: the radios' own devices and the examples'.
        for (const char *said :
             {"/dev/ttyS0 to /dev/ttyS4", "port opened: /dev/ttyUSB0 at", "143 SIGTERM"})
            QVERIFY2(help.text.simplified().contains(QLatin1String(said)), said);
        QVERIFY(!help.text.contains(QRegularExpression(QStringLiteral("%[0-9]"))));
    }
    for (const QString &option : {QStringLiteral("--version"), QStringLiteral("-v")}) {
        const CommandLine version = parse({option});
        QCOMPARE(version.action, CommandLine::Action::ShowVersion);
        QCOMPARE(version.text, QStringLiteral("rollcall %1\n").arg(Version));
    }
}

void TestCommandLine::theProgramAnswersWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");      // standard output starts with this
    QTest::addColumn<QString>("errorOutput"); // standard error is exactly this
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << 0
                               << QStringLiteral("rollcall %1\n").arg(Version) << QString();
    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << 0
                            << QStringLiteral("Usage: rollcall [options]\n") << QString();
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << 2 << QString()
                                    << QStringLiteral("rollcall: unknown option 'bogus'\n");
    // Refused before anything is opened, never taken as a range with nothing in it.
    QTest::newRow("addresses the wrong way round")
        << QStringList{QStringLiteral("scan"), QStringLiteral("--addresses"), QStringLiteral("6-5")}
        << 2 << QString()
        << QStringLiteral("rollcall: --addresses 6-5: the first address must not be above the "
                          "last\n");
    QTest::newRow("bad --com")
        << QStringList{QStringLiteral("--com"), QStringLiteral("7=/dev/ttyUSB0")} << 2 << QString()
        << QStringLiteral("rollcall: --com 7=/dev/ttyUSB0: the port must be 1 to 5\n");
}

void TestCommandLine::theProgramAnswersWithoutADisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, errorOutput);
    QProcess program;
    program.setProcessEnvironment(headless());
    program.start(Program, arguments);
    QVERIFY2(program.waitForFinished(10000), qPrintable(program.errorString()));
    const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    QVERIFY2(out.startsWith(output), qPrintable(out));
    if (output.isEmpty())
        QCOMPARE(out, QString());
    QCOMPARE(err, errorOutput);
}

// The map from the command line reaches the window: with ROLLCALL_COM1 pointing
// nowhere, only --com can make the program open the simulated line on start.
void TestCommandLine::theWindowOpensTheDeviceGivenWithCom()
{
    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    OpenWatch watch(device);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ROLLCALL_COM1"),
                       QStringLiteral("/dev/rollcall-test-no-such-device"));

    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(Program, {QStringLiteral("--com"), QStringLiteral("1=") + device});
    QVERIFY(program.waitForStarted());
    const auto stop = qScopeGuard([&program] {
        program.kill();
        program.waitForFinished();
    });
    QTRY_VERIFY_WITH_TIMEOUT(watch.opens() > 0, 10000);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
