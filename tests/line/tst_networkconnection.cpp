#include "bus/readerlink.h"
#include "commands/addressassignment.h"
#include "commands/busscan.h"
#include "line/line.h"
#include "tests/support/linefixture.h"
#include "tests/support/scripteddialogs.h"
#include "tests/support/ser2netserver.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

namespace {

constexpr int QuickWindowMs = 60;
constexpr int NetworkPort = 2;

sim::Reader reader(int address, QByteArray reply = QByteArray("\x02OK\x03", 4))
{
    sim::Reader r;
    r.address = address;
    r.reply = std::move(reply);
    return r;
}

// A reply that must cross escaped: 0xFF is telnet's IAC.
const QByteArray ReplyWithIac("\x02\xFF\xFF\x03", 4);

// The program's side of a line behind `url`, on Com 2.
struct NetworkClient
{
    explicit NetworkClient(const QString &url, const QString &settings = "9600,N,8,1")
    {
        link.setReplyWindowForTesting(std::chrono::milliseconds(QuickWindowMs));
        port.setDevice(NetworkPort, url);
        port.choosePort(NetworkPort);
        port.setSettings(*LineSettings::parse(settings));
    }
    // As a command opens it: the event loop runs until the open ends.
    bool open()
    {
        port.open();
        return link.awaitOpen();
    }
    Line port;
    ReaderLink link{port};
};

} // namespace

// The line behind Debian's own ser2net, which serves a simulated bus on a real pty: what
// the readers receive crossed TCP, the server and the tty.
class TestNetworkConnection : public QObject
{
    Q_OBJECT
private slots:
    void scanAndAssignationOverASerialServer_data();
    void scanAndAssignationOverASerialServer();
    void aServerKilledMidScanStopsTheScanAtThatAddress();
    void aServerThatCannotServeIsRefusedInPlainWords_data();
    void aServerThatCannotServeIsRefusedInPlainWords();
    void aCloseEndsAConnectionBeingMade();
};

void TestNetworkConnection::scanAndAssignationOverASerialServer_data()
{
    QTest::addColumn<bool>("rfc2217");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("speedOnTheTty"); // while the program is connected
    QTest::newRow("rfc2217 at 9600") << true << "9600,N,8,1" << 9600;
    QTest::newRow("rfc2217 at 19200") << true << "19200,N,8,1" << 19200;
    // The server's own speed stays whatever the program asks.
    QTest::newRow("raw socket") << false << "19200,N,8,1" << 9600;
}

void TestNetworkConnection::scanAndAssignationOverASerialServer()
{
    QFETCH(bool, rfc2217);
    QFETCH(QString, settings);
    QFETCH(int, speedOnTheTty);
    SimulatedLine line(1);
    // The server sets the tty to 2400 until a client asks otherwise.
    Ser2netServer server(line.device(), rfc2217 ? 2400 : 9600);
    QVERIFY2(server.isRunning(), qPrintable(server.error()));
    for (const sim::Reader &r : {reader(0), reader(3, ReplyWithIac), reader(6)})
        line.bus().addReader(r);

    NetworkClient client(rfc2217 ? server.rfc2217Url() : server.socketUrl(), settings);
    QVERIFY2(client.open(), qPrintable(client.port.problem().details()));
    // A raw connection is open before the server has opened and set the tty.
    QTRY_COMPARE(line.baudRate(), speedOnTheTty);
    QCOMPARE(client.port.openNote().isEmpty(), rfc2217);

    BusScan scan(client.link);
    QSignalSpy listed(&scan, &BusScan::readerListed);
    qint64 countOfThree = -1;
    QByteArray bytesOfThree;
    connect(&client.link, &ReaderLink::replyWindowMeasured, this,
            [&](int address, qint64, qint64 waiting) {
                if (address != 3)
                    return;
                countOfThree = waiting;
                bytesOfThree = client.port.peek(8);
            });
    scan.run(0, 7);
    QCOMPARE(texts(listed), (QStringList{"Address 000", "Address 003", "Address 006"}));
    QCOMPARE(countOfThree, 4);
    QCOMPARE(hex(bytesOfThree), hex(ReplyWithIac));
    QCOMPARE(hex(line.bus().received()), hex(scanTraffic(0, 7)));

    // The reader at 0 takes address 7, which nobody holds.
    line.bus().clearTrace();
    ScriptedDialogs dialogs;
    dialogs.answers << QStringLiteral("7");
    AddressAssignment assignment(client.link, dialogs);
    QCOMPARE(assignment.run(), AddressAssignment::Outcome::Changed);
    const QByteArray expected = scanTraffic(0, 0) + frames::ackFrame() + scanTraffic(7, 7) +
                                frames::ackFrame() + frames::setAddressFrame(7);
    QVERIFY(line.bus().waitForReceived(static_cast<int>(expected.size()), 2000));
    QCOMPARE(hex(line.bus().received()), hex(expected));
}

void TestNetworkConnection::aServerKilledMidScanStopsTheScanAtThatAddress()
{
    SimulatedLine line(1);
    Ser2netServer server(line.device());
    QVERIFY2(server.isRunning(), qPrintable(server.error()));
    line.bus().addReader(reader(1));
    NetworkClient client(server.rfc2217Url());
    QVERIFY(client.open());

    BusScan scan(client.link);
    QSignalSpy listed(&scan, &BusScan::readerListed);
    QSignalSpy stopped(&scan, &BusScan::stopped);
    connect(&scan, &BusScan::statusChanged, this, [&](const QString &text) {
        if (text == BusScan::progressText(4))
            server.kill();
    });
    scan.run(0, 9);
    QCOMPARE(texts(listed), QStringList{"Address 001"});
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(stopped.at(0).at(0).toInt(), 4);
    const auto why = stopped.at(0).at(1).value<StopReason>().line;
    QCOMPARE(why.kind, PortProblem::Kind::ConnectionLost);
    QCOMPARE(why.summary(), QStringLiteral("connection to %1 lost").arg(server.rfc2217Url()));
}

void TestNetworkConnection::aServerThatCannotServeIsRefusedInPlainWords_data()
{
    QTest::addColumn<QString>("url"); // %1: a port that the row's listener holds
    QTest::addColumn<QString>("listener");
    QTest::addColumn<int>("problem");
    QTest::addColumn<QString>("summary");
    QTest::newRow("nobody listening") << "socket://127.0.0.1:%1"
                                      << "none" << int(PortProblem::Kind::NotListening)
                                      << "nobody is listening at socket://127.0.0.1:%1";
    QTest::newRow("unknown host") << "rfc2217://no-such-host.invalid:%1"
                                  << "none" << int(PortProblem::Kind::UnknownHost)
                                  << "unknown host in rfc2217://no-such-host.invalid:%1";
    // Accepts, then never answers the COM-PORT option.
    QTest::newRow("settings not confirmed") << "rfc2217://127.0.0.1:%1"
                                            << "silent" << int(PortProblem::Kind::SettingsRefused)
                                            << "rfc2217://127.0.0.1:%1 did not take the settings";
}

void TestNetworkConnection::aServerThatCannotServeIsRefusedInPlainWords()
{
    QFETCH(QString, url);
    QFETCH(QString, listener);
    QFETCH(int, problem);
    QFETCH(QString, summary);

    quint16 port = freeLocalPort();
    QTcpServer silent;
    if (listener == QLatin1String("silent")) {
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        port = silent.serverPort();
    }

    NetworkClient client(url.arg(port));
    QVERIFY(!client.open());
    QCOMPARE(int(client.port.problem().kind), problem);
    QCOMPARE(client.port.problem().summary(), summary.arg(port));
    QVERIFY(!client.port.problem().systemReason.isEmpty());
}

// What a window closed, or Ctrl+C, does while a server is being connected.
void TestNetworkConnection::aCloseEndsAConnectionBeingMade()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    NetworkClient client(QStringLiteral("rfc2217://127.0.0.1:%1").arg(silent.serverPort()));
    QTimer::singleShot(100, this, [&] { client.port.close(); });
    QVERIFY(!client.open());
    // Not the three seconds' "did not take the settings": the close ended the wait, and
    // nothing is to be told.
    QCOMPARE(client.port.problem().kind, PortProblem::Kind::None);
}

QTEST_GUILESS_MAIN(TestNetworkConnection)
#include "tst_networkconnection.moc"
