#include "line/rfc2217session.h"

#include <QTest>

// One thing that happens to the session; `at` in ms from start().
struct Step
{
    enum Kind { Server, Purge, Advance, Send, Close, Drain } kind;
    qint64 at = 0;
    QByteArray bytes; // what the server sends, or the line bytes the client sends
};
Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Rfc2217Session::State)
Q_DECLARE_METATYPE(Rfc2217Session::Failure)

namespace {

using State = Rfc2217Session::State;
using Failure = Rfc2217Session::Failure;

const auto server = [](qint64 at, const QByteArray &bytes) {
    return Step{Step::Server, at, bytes};
};
const auto purgeAt = [](qint64 at) { return Step{Step::Purge, at, {}}; };
const auto advanceTo = [](qint64 at) { return Step{Step::Advance, at, {}}; };
const auto sendLine = [](const QByteArray &bytes) { return Step{Step::Send, 0, bytes}; };
const auto closes = [] { return Step{Step::Close, 0, {}}; };
const auto drainAt = [](qint64 at) { return Step{Step::Drain, at, {}}; };

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (const int value : values)
        result.append(static_cast<char>(value));
    return result;
}

// IAC SB COM-PORT <code> <value> IAC SE, written out here rather than by the codec; the
// baud rate's value is 4 bytes, every other one 1, and a 0xFF in it is doubled.
QByteArray comPort(int code, quint32 value)
{
    QByteArray result = bytes({255, 250, 44, code});
    const int length = code % 100 == 1 ? 4 : 1;
    for (int i = length - 1; i >= 0; --i) {
        const auto byte = static_cast<char>((value >> (8 * i)) & 0xFF);
        result += byte == '\xFF' ? QByteArray(2, byte) : QByteArray(1, byte);
    }
    return result + bytes({255, 240});
}

// The server's answer to a request: the request's code plus 100.
const auto answer = [](int request, quint32 value) { return comPort(request + 100, value); };

// WILL BINARY, WILL SUPPRESS-GO-AHEAD, WILL COM-PORT, DO BINARY, DO SUPPRESS-GO-AHEAD.
const QByteArray Hello = bytes({255, 251, 0, 255, 251, 3, 255, 251, 44, 255, 253, 0, 255, 253, 3});
// 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, and the purge.
const QByteArray Settings = comPort(1, 9600) + comPort(2, 8) + comPort(3, 1) + comPort(4, 1) +
                            comPort(5, 1) + comPort(12, 1);
const QByteArray PurgeRequest = comPort(12, 1);
const QByteArray DoComPort = bytes({255, 253, 44});
const QByteArray Confirmations =
    answer(1, 9600) + answer(2, 8) + answer(3, 1) + answer(4, 1) + answer(5, 1);
const QByteArray PurgeDone = answer(12, 1);
const QByteArray DrainRequest = comPort(2, 0); // the data size, as it stands
const QByteArray DataSize = answer(2, 8);
const QByteArray LineState = bytes({255, 250, 44, 106, 0x60, 255, 240}); // NOTIFY-LINESTATE
const QByteArray Reply = QByteArray("\x02") + "ACK\x03";
const QByteArray Stale = "\x02ST\x03";

// A server that takes COM-PORT at 5 ms and confirms the settings and the purge at 10 ms.
QList<Step> opened(const QList<Step> &then)
{
    return QList<Step>{server(5, DoComPort), server(10, Confirmations + PurgeDone)} + then;
}

} // namespace

// Scripted conversations with the kinds of server met in the field: each row plays one
// and checks where the session ends, what it kept of the line and what it sent.
class TestRfc2217Session : public QObject
{
    Q_OBJECT
private slots:
    void theSessionCopesWithEachKindOfServer_data();
    void theSessionCopesWithEachKindOfServer();
};

void TestRfc2217Session::theSessionCopesWithEachKindOfServer_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<State>("state");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QString>("reason"); // exact, or "~words" for words within it
    QTest::addColumn<QByteArray>("kept");
    QTest::addColumn<bool>("confirmsPurges");
    QTest::addColumn<QByteArray>("sent"); // all the client sent, from start()
    QTest::addColumn<qint64>("deadline"); // nextDeadline() at the end; -1 for none

    const QByteArray sentOpen = Hello + Settings;
    QTest::newRow("a well-behaved server opens at once; what came before is not kept")
        << QList<Step>{server(1, "zz"), server(5, DoComPort), server(10, Confirmations + PurgeDone),
                       server(20, Reply)}
        << State::Open << Failure::None << "" << Reply << true << sentOpen << -1LL;
    QTest::newRow("after a purge, a stale reply and its confirmation in one segment: only the "
                  "new reply's first bytes are kept")
        << opened({purgeAt(100), server(105, "old"), server(110, Stale + PurgeDone + Reply.left(2)),
                   server(120, Reply.mid(2))})
        << State::Open << Failure::None << "" << Reply << true << sentOpen + PurgeRequest << -1LL;
    QTest::newRow("a confirmation split over two segments ends the drop where it ends")
        << opened({purgeAt(100), server(105, Stale + PurgeDone.left(4)),
                   server(106, PurgeDone.mid(4) + Reply)})
        << State::Open << Failure::None << "" << Reply << true << sentOpen + PurgeRequest << -1LL;
    QTest::newRow("a server that never confirms purges is still negotiating 49 ms after the "
                  "settings")
        << QList<Step>{server(5, DoComPort), server(10, Confirmations), advanceTo(59)}
        << State::Negotiating << Failure::None << "" << QByteArray() << false << sentOpen << 60LL;
    QTest::newRow("a server that never confirms purges opens 50 ms after the settings, drops "
                  "nothing and never stalls")
        << QList<Step>{server(5, DoComPort), server(10, Confirmations), advanceTo(60),
                       purgeAt(60),          server(110, Reply),        advanceTo(9000)}
        << State::Open << Failure::None << "" << Reply << false << sentOpen + PurgeRequest << -1LL;
    for (const bool clockAt60 : {true, false}) {
        QList<Step> steps{server(5, DoComPort), server(10, Confirmations)};
        if (clockAt60)
            steps << advanceTo(60);
        steps << server(130, PurgeDone) << purgeAt(200)
              << server(210, Reply.left(2) + PurgeDone + Reply.mid(2)) << advanceTo(9000);
        QTest::newRow(clockAt60 ? "a late confirmer is taken as not confirming; its "
                                  "confirmations drop nothing"
                                : "a late confirmer is caught even when no advance() came "
                                  "between the deadline and its confirmation")
            << steps << State::Open << Failure::None << "" << Reply << false
            << sentOpen + PurgeRequest << -1LL;
    }
    QTest::newRow("a doubled confirmation is ignored and ends no later purge's drop")
        << opened({server(20, PurgeDone), purgeAt(100), server(110, PurgeDone + PurgeDone),
                   purgeAt(200), server(210, Stale), server(220, PurgeDone + Reply)})
        << State::Open << Failure::None << "" << Reply << true
        << sentOpen + PurgeRequest + PurgeRequest << -1LL;
    QTest::newRow("a server that stops answering is still open 1999 ms after the purge")
        << opened({purgeAt(1000), advanceTo(2999)}) << State::Open << Failure::None << ""
        << QByteArray() << true << sentOpen + PurgeRequest << 3000LL;
    QTest::newRow("a server that stops answering has stalled 2000 ms after the purge")
        << opened({purgeAt(1000), advanceTo(3000), sendLine(Reply)}) << State::Failed
        << Failure::Stalled << "no answer for 2 s" << QByteArray() << true
        << sentOpen + PurgeRequest << -1LL;
    QTest::newRow("a confirmation after the stall bound is too late, advance() or not")
        << opened({purgeAt(1000), server(3500, PurgeDone + Reply)}) << State::Failed
        << Failure::Stalled << "no answer for 2 s" << QByteArray() << true
        << sentOpen + PurgeRequest << -1LL;
    QTest::newRow("the stall is timed from the oldest purge still unconfirmed")
        << opened({purgeAt(1000), purgeAt(1500), server(1600, PurgeDone), purgeAt(1800),
                   advanceTo(3000)})
        << State::Open << Failure::None << "" << QByteArray() << true
        << sentOpen + PurgeRequest + PurgeRequest + PurgeRequest << 3500LL;
    QTest::newRow("neither an answer no drain waits for nor a purge's confirmation ends a drain; "
                  "each answer ends the oldest")
        << opened({server(20, DataSize), drainAt(100), drainAt(200), purgeAt(220),
                   server(250, PurgeDone + DataSize), advanceTo(2150)})
        << State::Open << Failure::None << "" << QByteArray() << true
        << sentOpen + DrainRequest + DrainRequest + PurgeRequest << 2200LL;
    QTest::newRow("a server that speaks first and notifies the line state mid-reply")
        << QList<Step>{server(1, bytes({255, 251, 44, 255, 253, 0, 255, 253, 3, 255, 251, 0})),
                       server(5, DoComPort), server(10, Confirmations + LineState + PurgeDone),
                       purgeAt(100),
                       server(110, PurgeDone + Reply.left(2) + LineState + Reply.mid(2, 2) +
                                       LineState + Reply.right(1))}
        << State::Open << Failure::None << "" << Reply << true
        << Hello + bytes({255, 254, 44}) + Settings + PurgeRequest << -1LL;
    QTest::newRow("a busy port: the server says so and closes")
        << QList<Step>{server(5, "Port already in use\r\n"), closes()} << State::Failed
        << Failure::Closed << "the server said: Port already in use" << QByteArray() << false
        << Hello << -1LL;
    QTest::newRow("a server's words are shown printable only and cut short")
        << QList<Step>{server(5, "\x1b]0;owned\x07Port" + QByteArray(1, '\0') + " busy\x1b[2J\r\n" +
                                     QByteArray(400, 'x')),
                       closes()}
        << State::Failed << Failure::Closed
        << "the server said: ]0;ownedPort busy[2J " + QString(56, 'x') + "..." << QByteArray()
        << false << Hello << -1LL;
    QTest::newRow("a raw server that sends line bytes never spoke telnet at 3000 ms")
        << QList<Step>{server(100, Reply), advanceTo(3000), sendLine(Reply)} << State::Failed
        << Failure::NoTelnet
        << "the server did not speak telnet (RFC 2217) within 3 s; if it serves the line as it "
           "is, use socket://127.0.0.1:7000"
        << QByteArray() << false << Hello << -1LL;
    QTest::newRow("a server that refuses COM-PORT")
        << QList<Step>{server(5, bytes({255, 254, 44}))} << State::Failed << Failure::ComPortRefused
        << "the server refused the COM-PORT option (RFC 2217)" << QByteArray() << false
        << Hello + bytes({255, 252, 44}) << -1LL;
    QTest::newRow("a server that sets another speed than asked")
        << QList<Step>{server(5, DoComPort),
                       server(10, answer(1, 2400) + Confirmations.mid(answer(1, 9600).size()) +
                                      PurgeDone)}
        << State::Failed << Failure::SettingsNotTaken
        << "the server did not take the settings (asked 9600 for request 1, got 2400)"
        << QByteArray() << false << sentOpen << -1LL;
    QTest::newRow("a server that leaves the stop bits unanswered")
        << QList<Step>{server(5, DoComPort), server(10, answer(1, 9600) + answer(3, 1)),
                       server(20, answer(2, 8)), advanceTo(3000)}
        << State::Failed << Failure::SettingsNotTaken
        << "the server did not take the settings within 3 s (no answer to request 4)"
        << QByteArray() << false << sentOpen << -1LL;
    QTest::newRow("settings confirmed after 3 s are too late, advance() or not")
        << QList<Step>{server(5, DoComPort), server(3500, Confirmations + PurgeDone)}
        << State::Failed << Failure::SettingsNotTaken << "~did not take the settings within 3 s"
        << QByteArray() << false << sentOpen << -1LL;
    QTest::newRow("answers before the settings were asked confirm nothing")
        << QList<Step>{server(1, Confirmations + PurgeDone), advanceTo(100), server(200, DoComPort),
                       server(210, Confirmations), advanceTo(260)}
        << State::Open << Failure::None << "" << QByteArray() << false << sentOpen << -1LL;
}

void TestRfc2217Session::theSessionCopesWithEachKindOfServer()
{
    QFETCH(QList<Step>, steps);
    QFETCH(State, state);
    QFETCH(Failure, failure);
    QFETCH(QString, reason);
    QFETCH(QByteArray, kept);
    QFETCH(bool, confirmsPurges);
    QFETCH(QByteArray, sent);
    QFETCH(qint64, deadline);

    using Time = Rfc2217Session::Time;
    Rfc2217Session session(LineSettings{}, QStringLiteral("socket://127.0.0.1:7000"));
    session.start(Time(0));
    QByteArray gotSent = session.takeOutgoing();
    QByteArray gotKept;
    for (const Step &step : steps) {
        switch (step.kind) {
        case Step::Server:
            gotKept += session.receive(step.bytes, Time(step.at));
            break;
        case Step::Purge:
            session.purge(Time(step.at));
            break;
        case Step::Advance:
            session.advance(Time(step.at));
            break;
        case Step::Send:
            session.send(step.bytes);
            break;
        case Step::Close:
            session.serverClosed();
            break;
        case Step::Drain:
            session.drain(Time(step.at));
            break;
        }
        gotSent += session.takeOutgoing();
    }
    QCOMPARE(session.state(), state);
    QCOMPARE(session.failure(), failure);
    if (reason.startsWith(QLatin1Char('~')))
        QVERIFY2(session.failureReason().contains(reason.mid(1)),
                 qPrintable(session.failureReason()));
    else
        QCOMPARE(session.failureReason(), reason);
    QCOMPARE(gotKept.toHex(' '), kept.toHex(' '));
    QCOMPARE(session.confirmsPurges(), confirmsPurges);
    QCOMPARE(gotSent.toHex(' '), sent.toHex(' '));
    const std::optional<Time> next = session.nextDeadline();
    QCOMPARE(next ? next->count() : qint64(-1), deadline);
}

QTEST_GUILESS_MAIN(TestRfc2217Session)
#include "tst_rfc2217session.moc"
