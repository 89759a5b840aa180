#include "sim/readerbus.h"
#include "tests/support/scriptedserver.h"
#include "tests/support/ser2netserver.h"
#include "tests/support/simulatedline.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace {

// What must cross the tty, written out byte by byte.
QByteArray polls(int from, int to)
{
    QByteArray bytes;
    for (int address = from; address <= to; ++address)
        bytes += QByteArray("\x06", 1) + char(0x80 + address) + QByteArray("\x02\x3F\x03", 3);
    return bytes;
}

const QByteArray Ack("\x06", 1);
const QString Listed03 = QStringLiteral("Address 000\nAddress 003\n");
const QString AssignedNine = QStringLiteral("Reader address has been changed to 009 - run "
                                            "\"rollcall scan --addresses 9-9\" to verify the "
                                            "change\n");

// A well-behaved server whose port another client holds: it offers telnet, says so and
// closes, as ser2net 4.3 does (ser2net 4.6 serves a second client instead). Then Debian's
// own ser2net with its raw port named as RFC 2217.
constexpr int BusyPort = -1;
constexpr int RawPortAsRfc2217 = -2;

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run runProgram(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_LOGGING_RULES"})
        environment.remove(QLatin1String(name));
    QProcess program;
    program.setProcessEnvironment(environment);
    QSignalSpy finished(&program, &QProcess::finished);
    program.start(QStringLiteral(ROLLCALL_PROGRAM), arguments);
    // The servers live in this process: the event loop runs while the program does.
    if (!finished.wait(60000))
        program.kill();
    return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
            QString::fromLocal8Bit(program.readAllStandardOutput()),
            QString::fromLocal8Bit(program.readAllStandardError())};
}

} // namespace

// The real program from a terminal against network serial servers with the habits of
// those found in the field, each between it and a simulated bus on a real pty: every
// reader is listed, every assignment made, and a server that stops answering is a lost
// line, never a bus with no readers.
class TestFieldServers : public QObject
{
    Q_OBJECT
private slots:
    void eachHabitGivesTheTrueResult_data();
    void eachHabitGivesTheTrueResult();
};

void TestFieldServers::eachHabitGivesTheTrueResult_data()
{
    QTest::addColumn<int>("habit"); // a ScriptedServer::Habit, or one of ser2net's above
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");      // standard output, exactly
    QTest::addColumn<QString>("errorOutput"); // a pattern standard error must match
    QTest::addColumn<QByteArray>("traffic");  // all that crossed the tty

    using Habit = ScriptedServer::Habit;
    const QStringList scan{QStringLiteral("scan"), QStringLiteral("--addresses"),
                           QStringLiteral("0-6")};
    const QStringList assign{QStringLiteral("assign"), QStringLiteral("9")};
    const QString thereAreTwo = Listed03 + QStringLiteral("There are 2 readers online\n");
    const QByteArray assignTraffic =
        polls(0, 0) + Ack + polls(9, 9) + Ack + QByteArray("\x80\x02\x00IA009\x03", 9);

    QTest::newRow("well behaved, scan")
        << int(Habit::WellBehaved) << scan << 0 << thereAreTwo << QString() << polls(0, 6);
    QTest::newRow("never confirms purges, scan")
        << int(Habit::NeverConfirmsPurges) << scan << 0 << thereAreTwo << QString() << polls(0, 6);
    QTest::newRow("never confirms purges, assign") << int(Habit::NeverConfirmsPurges) << assign << 0
                                                   << AssignedNine << QString() << assignTraffic;
    QTest::newRow("confirms purges after later data, scan")
        << int(Habit::ConfirmsPurgesLate) << scan << 0 << thereAreTwo << QString() << polls(0, 6);
    QTest::newRow("confirms purges after later data, assign")
        << int(Habit::ConfirmsPurgesLate) << assign << 0 << AssignedNine << QString()
        << assignTraffic;
    QTest::newRow("speaks first, notifies inside replies")
        << int(Habit::SpeaksFirst) << scan << 0 << thereAreTwo << QString() << polls(0, 6);
    QTest::newRow("stale bytes before each confirmation")
        << int(Habit::StaleBeforeConfirmation) << scan << 0 << thereAreTwo << QString()
        << polls(0, 6);
    // The frame is on the tty although the program closes the connection at once.
    QTest::newRow("drops what it holds when the client goes, assign")
        << int(Habit::DropsUnwrittenOnClose) << assign << 0 << AssignedNine << QString()
        << assignTraffic;
    QTest::newRow("stops answering")
        << int(Habit::Stalls)
        << QStringList{QStringLiteral("scan"), QStringLiteral("--addresses"),
                       QStringLiteral("0-60")}
        << 1 << Listed03
        << QStringLiteral("^Scan stopped at 0(0[5-9]|[1-5]\\d): connection to "
                          "rfc2217://127\\.0\\.0\\.1:\\d+ lost: no answer for 2 s\n")
        << polls(0, 3) + Ack;
    QTest::newRow("port in use") << BusyPort << scan << 1 << QString()
                                 << QStringLiteral("the server said: Port already in use")
                                 << QByteArray();
    // A raw port takes the telnet offer for line bytes and passes it on to the readers.
    QTest::newRow("raw server named as rfc2217")
        << RawPortAsRfc2217 << scan << 1 << QString()
        << QStringLiteral("socket://127\\.0\\.0\\.1:\\d+")
        << QByteArray::fromHex("fffb00fffb03fffb2cfffd00fffd03");
}

void TestFieldServers::eachHabitGivesTheTrueResult()
{
    QFETCH(int, habit);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, errorOutput);
    QFETCH(QByteArray, traffic);

    SimulatedLine line(1);
    line.bus().addReader(*sim::parseReaderOption(QStringLiteral("0")));
    line.bus().addReader(*sim::parseReaderOption(QStringLiteral("3")));

    std::unique_ptr<ScriptedServer> scripted;
    std::unique_ptr<Ser2netServer> ser2net;
    QTcpSocket firstClient;
    QString url;
    if (habit >= 0 || habit == BusyPort) {
        scripted = std::make_unique<ScriptedServer>(habit >= 0 ? ScriptedServer::Habit(habit)
                                                               : ScriptedServer::Habit::WellBehaved,
                                                    line.device());
        QVERIFY(scripted->isListening());
        url = scripted->url();
        if (habit == BusyPort) { // the first client holds the port
            firstClient.connectToHost(QHostAddress::LocalHost, scripted->port());
            QVERIFY(firstClient.waitForConnected(5000));
            QTRY_VERIFY(scripted->hasClient());
        }
    } else {
        ser2net = std::make_unique<Ser2netServer>(line.device());
        QVERIFY2(ser2net->isRunning(), qPrintable(ser2net->error()));
        url = ser2net->rfc2217Url();
        if (habit == RawPortAsRfc2217)
            url = ser2net->socketUrl().replace(QStringLiteral("socket://"),
                                               QStringLiteral("rfc2217://"));
    }

    const Run run =
        runProgram(arguments + QStringList{QStringLiteral("--com"), QStringLiteral("1=") + url});
    line.bus().waitForReceived(int(traffic.size()) + 1, 300);

    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, output);
    if (errorOutput.isEmpty())
        QCOMPARE(run.err, QString());
    else
        QVERIFY2(run.err.contains(QRegularExpression(errorOutput)), qPrintable(run.err));
    QCOMPARE(line.bus().received().toHex(' '), traffic.toHex(' '));
    // The row played its habit: a purge asked for, and answered or not as the habit says.
    if (scripted && habit != BusyPort) {
        QVERIFY(scripted->purges() > 0);
        QCOMPARE(scripted->confirmations() == 0,
                 ScriptedServer::Habit(habit) == ScriptedServer::Habit::NeverConfirmsPurges);
    }
}

QTEST_GUILESS_MAIN(TestFieldServers)
#include "tst_fieldservers.moc"
