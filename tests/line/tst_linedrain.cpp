#include "line/line.h"
#include "tests/support/linefixture.h"
#include "tests/support/scriptedserver.h"
#include "tests/support/ser2netserver.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// Between the line and the readers' tty: nobody, one of ser2net's ports, or a
// ScriptedServer with the habit of that number.
constexpr int Device = -1;
constexpr int Ser2netRfc2217 = -2;
constexpr int Ser2netRaw = -3;

// ACK and the poll of address 4, at which ScriptedServer::Habit::Stalls goes quiet.
const QByteArray Frame("\x06\x84\x02\x3F\x03", 5);

} // namespace

// A frame written, drained, and the line closed at once reaches the readers' tty on every
// kind of line, even through a server that drops what it has not yet written to its port
// when its client goes; a server that leaves the drain unanswered loses the line.
class TestLineDrain : public QObject
{
    Q_OBJECT
private slots:
    void whatWasDrainedReachesTheReaders_data();
    void whatWasDrainedReachesTheReaders();
};

void TestLineDrain::whatWasDrainedReachesTheReaders_data()
{
    QTest::addColumn<int>("server");
    QTest::addColumn<PortProblem::Kind>("problem"); // once the drain has ended
    QTest::addColumn<QByteArray>("traffic");        // all that crossed the tty

    const auto none = PortProblem::Kind::None;
    QTest::newRow("serial device") << Device << none << Frame;
    QTest::newRow("ser2net, rfc2217") << Ser2netRfc2217 << none << Frame;
    QTest::newRow("ser2net, raw socket") << Ser2netRaw << none << Frame;
    QTest::newRow("drops what it holds on close")
        << int(ScriptedServer::Habit::DropsUnwrittenOnClose) << none << Frame;
    QTest::newRow("stops answering")
        << int(ScriptedServer::Habit::Stalls) << PortProblem::Kind::Stalled << Frame.left(1);
}

void TestLineDrain::whatWasDrainedReachesTheReaders()
{
    QFETCH(int, server);
    QFETCH(PortProblem::Kind, problem);
    QFETCH(QByteArray, traffic);

    SimulatedLine line(1);
    std::unique_ptr<Ser2netServer> ser2net;
    std::unique_ptr<ScriptedServer> scripted;
    Line port;
    if (server == Ser2netRfc2217 || server == Ser2netRaw) {
        ser2net = std::make_unique<Ser2netServer>(line.device());
        QVERIFY2(ser2net->isRunning(), qPrintable(ser2net->error()));
        port.setDevice(1, server == Ser2netRaw ? ser2net->socketUrl() : ser2net->rfc2217Url());
    } else if (server != Device) {
        scripted = std::make_unique<ScriptedServer>(ScriptedServer::Habit(server), line.device());
        port.setDevice(1, scripted->url());
    }
    port.open();
    QTRY_VERIFY_WITH_TIMEOUT(port.state() != Line::State::Opening, 10000);
    QVERIFY2(port.isOpen(), qPrintable(port.problem().details()));

    QSignalSpy drained(&port, &Line::drained);
    QVERIFY(port.write(Frame));
    port.drain();
    QTRY_VERIFY_WITH_TIMEOUT(!port.isDraining(), 10000);
    QCOMPARE(port.problem().kind, problem);
    QCOMPARE(drained.count(), problem == PortProblem::Kind::None ? 1 : 0);
    port.close();
    // The event loop runs meanwhile: a server may still drop what it holds.
    QTRY_VERIFY_WITH_TIMEOUT(line.bus().received().size() >= traffic.size(), 5000);
    QCOMPARE(hex(line.bus().received()), hex(traffic));
}

QTEST_GUILESS_MAIN(TestLineDrain)
#include "tst_linedrain.moc"
