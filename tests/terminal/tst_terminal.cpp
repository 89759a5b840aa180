#include "sim/readerbus.h"
#include "tests/support/openwatch.h"
#include "tests/support/simulatedline.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

// What must cross the line, written out byte by byte rather than taken from bus/.
QByteArray polls(int from, int to)
{
    QByteArray bytes;
    for (int address = from; address <= to; ++address)
        bytes += QByteArray("\x06", 1) + char(0x80 + address) + QByteArray("\x02\x3F\x03", 3);
    return bytes;
}

const QByteArray Ack("\x06", 1);

// The events a row can bring about once the third poll is on the line; Flap takes the
// last reader away after the first pass of two addresses, puts it back after the third
// and interrupts as the fifth begins; Later interrupts once 39 polls have crossed, a few
// passes of a watch; OtherMaster starts another master polling every 45 ms.
enum Event { Nothing, Interrupt, Terminate, Unplug, Flap, Later, OtherMaster };

// The habits of the bus in a row's readers, as rollcall-sim's options name them.
void setHabits(sim::ReaderBus &bus, const QString &readers)
{
    using namespace std::chrono_literals;
    for (const QString &habit : readers.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (habit == QLatin1String("--echo"))
            bus.setEcho(sim::Echo::Exact);
        else if (habit == QLatin1String("--echo=changed"))
            bus.setEcho(sim::Echo::Changed);
        else if (habit == QLatin1String("--other-master"))
            bus.setOtherMaster(45ms);
        else
            bus.addReader(*sim::parseReaderOption(habit));
    }
}

const QString OtherMasterSeen = QStringLiteral(
    "another device is polling this line (seen: %1); stop the controller or disconnect it, then "
    "try again\n");
const QString NotAReadersReply = QStringLiteral(
    ", not a reader's reply: two readers on one address, a reader at the other speed, or noise\n");

// An argument "earlier:TEXT" stands for the path of a file that holds TEXT, as the
// technician kept it from an earlier visit.
const QString Earlier = QStringLiteral("earlier:");

// What `rollcall scan --json` wrote of the addresses `range` ("0,4") when `readers` answered.
QString earlierScan(const char *range, const char *readers, bool complete = true)
{
    return Earlier + QStringLiteral(R"({"port":1,"device":"/dev/ttyUSB0","baud":9600,)"
                                    R"("addresses":[%1],"readers":[%2],"complete":%3,)"
                                    R"("replies":[]})"
                                    "\n")
                         .arg(QLatin1String(range), QLatin1String(readers),
                              QLatin1String(complete ? "true" : "false"));
}

// Where the polls a row sends depend on when late replies land, the traffic is not compared.
const QByteArray AnyTraffic("any");

// The delay of each reader of `readers`, as rollcall-sim takes them; 3 ms unless given.
QMap<int, int> delaysOf(const QString &readers)
{
    QMap<int, int> delays;
    for (const QString &reader : readers.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString delay = reader.section(QStringLiteral("delay="), 1).section(':', 0, 0);
        delays.insert(reader.section(':', 0, 0).toInt(), delay.isEmpty() ? 3 : delay.toInt());
    }
    return delays;
}

// Clock times vary, and so do measured times: each time belongs to the address named last
// before it, and reads "~DELAY" when it is no shorter than that reader's delay; a
// suggested window reads "~" and three times the delay when it is no shorter than that.
// A shorter one stays as it is and fails. There is no upper bound: a busy machine may
// see a reply late, never early.
QString settled(QString text, const QString &readers)
{
    text.replace(
        QRegularExpression(QStringLiteral("(\\d{4}-\\d\\d-\\d\\dT)?\\d\\d:\\d\\d:\\d\\d\\.\\d{3}")),
        QStringLiteral("HH:MM:SS.mmm"));
    const QMap<int, int> delays = delaysOf(readers);
    static const QRegularExpression token(
        QStringLiteral(R"((?:"address": ?|Address |window of )(\d+)|(?<![\d.])(\d+\.\d)(?![\d.]))"
                       R"(|--window (\d+) or more)"));
    QString out;
    qsizetype at = 0;
    int address = -1;
    for (auto it = token.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out += text.mid(at, match.capturedStart() - at);
        at = match.capturedEnd();
        const int delay = delays.value(address, -1);
        if (match.hasCaptured(1)) {
            address = match.captured(1).toInt();
            out += match.captured();
        } else if (match.hasCaptured(2) && delay >= 0 && match.captured(2).toDouble() >= delay) {
            out += QLatin1Char('~') + QString::number(delay);
        } else if (match.hasCaptured(3) && delay >= 0 && match.captured(3).toInt() >= 3 * delay) {
            out += QStringLiteral("--window ~%1 or more").arg(3 * delay);
        } else {
            out += match.captured();
        }
    }
    return out + text.mid(at);
}

// `expected` whole, where "<name>" stands for a number: the same name, the same number.
bool matchesWithCounts(const QString &actual, const QString &expected)
{
    static const QRegularExpression count(QStringLiteral("<(\\w+)>"));
    QString pattern;
    QStringList named;
    qsizetype at = 0;
    for (auto it = count.globalMatch(expected); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        pattern += QRegularExpression::escape(expected.mid(at, match.capturedStart() - at));
        const QString name = match.captured(1);
        pattern += named.contains(name) ? QStringLiteral("\\k<%1>").arg(name)
                                        : QStringLiteral("(?<%1>\\d+(?:\\.\\d)?)").arg(name);
        named << name;
        at = match.capturedEnd();
    }
    pattern += QRegularExpression::escape(expected.mid(at));
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern))
        .match(actual)
        .hasMatch();
}

// Published under a name that holds "%1", built without arg(): a second arg() would
// fill it.
QString publishNamedWithPercent(sim::ReaderBus &bus)
{
    const QString link = QDir::temp().filePath(QStringLiteral("rollcall-test-%1-") +
                                               QString::number(QCoreApplication::applicationPid()));
    return bus.publishAt(link) ? link : QString();
}

// Brings the row's event about while the program runs.
void bringAbout(Event event, sim::ReaderBus &bus, const QProcess &program, const QString &readers)
{
    const auto pid = static_cast<pid_t>(program.processId());
    if (event == Flap) {
        const sim::Reader flapping = *sim::parseReaderOption(readers.section(' ', -1));
        QVERIFY(bus.waitForReceived(int(polls(4, 5).size()), 5000));
        bus.removeReader(flapping.address);
        QVERIFY(bus.waitForReceived(int(polls(4, 5).size()) * 3, 5000));
        bus.addReader(flapping);
        QVERIFY(bus.waitForReceived(int(polls(4, 5).size()) * 4 + int(polls(4, 4).size()), 5000));
        ::kill(pid, SIGINT);
    } else if (event == OtherMaster) {
        QVERIFY(bus.waitForReceived(int(polls(0, 2).size()), 5000));
        bus.setOtherMaster(std::chrono::milliseconds(45));
    } else if (event == Later) {
        QVERIFY(bus.waitForReceived(3 * int(polls(0, 12).size()), 10000));
        ::kill(pid, SIGINT);
    } else if (event != Nothing) {
        QVERIFY(bus.waitForReceived(int(polls(0, 2).size()), 5000));
        if (event == Unplug)
            bus.unplug();
        else
            ::kill(pid, event == Interrupt ? SIGINT : SIGTERM);
    }
}

} // namespace

// The real program from a terminal with no display, on a simulated line: what it prints
// where, its exit status, and every byte it puts on the line.
class TestTerminal : public QObject
{
    Q_OBJECT
private slots:
    void commandsFromATerminal_data();
    void commandsFromATerminal();
};

void TestTerminal::commandsFromATerminal_data()
{
    QTest::addColumn<QStringList>("arguments"); // "%1" is the simulated line's device
    QTest::addColumn<QString>("readers");       // as rollcall-sim's --reader takes them
    QTest::addColumn<int>("event");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");          // standard output, exactly but for <numbers>
    QTest::addColumn<QStringList>("errorOutput"); // in standard error; none: it stays empty
    QTest::addColumn<QByteArray>("traffic");      // all that crossed the line, or AnyTraffic

    const QString scan = QStringLiteral("scan");
    const QString assign = QStringLiteral("assign");
    const QString range = QStringLiteral("--addresses");
    QTest::newRow("scan") << QStringList{scan, range, QStringLiteral("0-4")}
                          << QStringLiteral("0 3 4:wrongfirst 6") << int(Nothing) << 0
                          << QStringLiteral(
                                 "Address 000\nAddress 003\nThere are 2 readers online\n")
                          << QStringList{QStringLiteral("004 answered 15 03") + NotAReadersReply}
                          << polls(0, 4);
    // Only what follows the echo is judged: the garbled reply is named without it.
    QTest::newRow("scan, the adapter echoes")
        << QStringList{scan, range, QStringLiteral("0-12")}
        << QStringLiteral("--echo 3 9 12:garbled") << int(Nothing) << 0
        << QStringLiteral("Address 003\nAddress 009\nThere are 2 readers online\n")
        << QStringList{QStringLiteral("the adapter echoes what it sends; its echo is set aside\n"),
                       QStringLiteral("012 answered 13 55 AA 41") + NotAReadersReply}
        << polls(0, 12);
    QTest::newRow("scan, the echo comes back changed")
        << QStringList{scan, range, QStringLiteral("3-3")} << QStringLiteral("--echo=changed 3")
        << int(Nothing) << 0 << QStringLiteral("There are no readers online\n")
        << QStringList{QStringLiteral("003 answered 06 83 42 3F 03 02 4F 4B 03") + NotAReadersReply}
        << polls(3, 3);
    // Heard before the first poll: nothing is sent at all.
    QTest::newRow("scan, another master")
        << QStringList{scan} << QStringLiteral("--other-master 9") << int(Nothing) << 1 << QString()
        << QStringList{QStringLiteral("Scan stopped at 000: ") +
                       OtherMasterSeen.arg(QLatin1String("89 02 3F 03"))}
        << QByteArray();
    QTest::newRow("scan, another master starts")
        << QStringList{scan} << QStringLiteral("9") << int(OtherMaster) << 1 << QString()
        << QStringList{OtherMasterSeen.arg(QLatin1String("89 02 3F 03"))} << AnyTraffic;
    // At a short window each reader found is polled again alone, with the full window,
    // once the line is quiet; bytes that came after their window are traced back to the
    // poll they answered by polling the suspects alone.
    const QString window = QStringLiteral("--window");
    QTest::newRow("window of 20 ms")
        << QStringList{scan, range, QStringLiteral("0-3"), window, QStringLiteral("20")}
        << QStringLiteral("1 2:delay=60 3") << int(Nothing) << 0
        << QStringLiteral("Address 001\nAddress 003\nThere are 2 readers online\n")
        << QStringList{QStringLiteral(
               "a reply came after the window of 002: use --window ~180 or more\n")}
        << polls(0, 1) + polls(1, 1) + polls(2, 3) + polls(3, 3) + polls(2, 2);
    // The late reply lands in the window of 005, where nobody answers alone. The replies
    // are the scan's own windows': none of the polls alone.
    QTest::newRow("json at a window of 50 ms, a device named with %1")
        << QStringList{scan,
                       QStringLiteral("--com"),
                       QStringLiteral("1=%1"),
                       range,
                       QStringLiteral("0-9"),
                       window,
                       QStringLiteral("50"),
                       QStringLiteral("--json")}
        << QStringLiteral("1 4:delay=60 7") << int(Nothing) << 0
        << QStringLiteral(R"({"port":1,"device":"%1","baud":9600,"addresses":[0,9],)"
                          R"("readers":[1,7],"complete":true,"replies":[)"
                          R"({"address":1,"first_byte_ms":~3,"bytes":4,"listed":true},)"
                          R"({"address":5,"first_byte_ms":<late>,"bytes":4,"listed":false},)"
                          R"({"address":7,"first_byte_ms":~3,"bytes":4,"listed":true}]})"
                          "\n")
        << QStringList{QStringLiteral(
               "a reply came after the window of 004: use --window ~180 or more\n")}
        << polls(0, 1) + polls(1, 1) + polls(2, 5) + polls(5, 5) + polls(4, 4) + polls(6, 7) +
               polls(7, 7) + polls(8, 9);
    // Three windows on, in that of 006 or 007 or between the two.
    const QString slowAmongFast = QStringLiteral("1 4:delay=60 11");
    QTest::newRow("window of 20 ms, no phantom")
        << QStringList{scan, range, QStringLiteral("0-12"), window, QStringLiteral("20")}
        << slowAmongFast << int(Nothing) << 0
        << QStringLiteral("Address 001\nAddress 011\nThere are 2 readers online\n")
        << QStringList{QStringLiteral(
               "a reply came after the window of 004: use --window ~180 or more\n")}
        << AnyTraffic;
    const QString watchedFast =
        QStringLiteral("HH:MM:SS.mmm Address 001 online\nHH:MM:SS.mmm Address 011 online\n"
                       "After <passes> passes:\n"
                       "Address 001: <a> polls, <a> answers, 0 misses, longest run of misses 0, "
                       "first byte min ~3, median ~3, max ~3 ms\n"
                       "Address 011: <b> polls, <b> answers, 0 misses, longest run of misses 0, "
                       "first byte min ~3, median ~3, max ~3 ms\n"
                       "No answer from the other 11 addresses\n");
    for (const char *ms : {"50", "20"})
        QTest::addRow("watch, window of %s ms, no phantom", ms)
            << QStringList{QStringLiteral("watch"), range, QStringLiteral("0-12"), window,
                           QLatin1String(ms)}
            << slowAmongFast << int(Later) << 130 << watchedFast
            << QStringList{QStringLiteral(
                   "a reply came after the window of 004: use --window ~180 or more\n")}
            << AnyTraffic;
    QTest::newRow("both speeds")
        << QStringList{scan, range, QStringLiteral("0-2"), QStringLiteral("--baud"),
                       QStringLiteral("9600,19200")}
        << QStringLiteral("1:baud=9600 2:baud=19200") << int(Nothing) << 0
        << QStringLiteral("Address 001 at 9600 baud\nThere are 1 readers online at 9600 baud\n"
                          "Address 002 at 19200 baud\nThere are 1 readers online at 19200 baud\n")
        << QStringList() << polls(0, 2) + polls(0, 2);
    QTest::newRow("watch, a reader goes and comes back")
        << QStringList{QStringLiteral("watch"), range, QStringLiteral("4-5")}
        << QStringLiteral("4 5") << int(Flap) << 130
        << QStringLiteral("HH:MM:SS.mmm Address 004 online\nHH:MM:SS.mmm Address 005 online\n"
                          "HH:MM:SS.mmm Address 005 gone\nHH:MM:SS.mmm Address 005 back\n"
                          "After 4 passes:\n"
                          "Address 004: 4 polls, 4 answers, 0 misses, longest run of misses 0, "
                          "first byte min ~3, median ~3, max ~3 ms\n"
                          "Address 005: 4 polls, 2 answers, 2 misses, longest run of misses 2, "
                          "first byte min ~3, median ~3, max ~3 ms\n")
        << QStringList() << polls(4, 5) + polls(4, 5) + polls(4, 5) + polls(4, 5) + polls(4, 4);
    QTest::newRow("scan, nobody") << QStringList{scan, range, QStringLiteral("7-8")} << QString()
                                  << int(Nothing) << 0
                                  << QStringLiteral("There are no readers online\n")
                                  << QStringList() << polls(7, 8);
    QTest::newRow("json on port 2 at 19200")
        << QStringList{scan,
                       QStringLiteral("--port"),
                       QStringLiteral("2"),
                       QStringLiteral("--com"),
                       QStringLiteral("2=%1"),
                       QStringLiteral("--baud"),
                       QStringLiteral("19200"),
                       range,
                       QStringLiteral("0-3"),
                       QStringLiteral("--json")}
        << QStringLiteral("0:delay=30 2:onebyte 3:delay=90") << int(Nothing) << 0
        << QStringLiteral(R"({"port":2,"device":"%1","baud":19200,"addresses":[0,3],)"
                          R"("readers":[0,3],"complete":true,"replies":[)"
                          R"({"address":0,"first_byte_ms":~30,"bytes":4,"listed":true},)"
                          R"({"address":2,"first_byte_ms":~3,"bytes":1,"listed":false},)"
                          R"({"address":3,"first_byte_ms":~90,"bytes":4,"listed":true}]})"
                          "\n")
        << QStringList() << polls(0, 3);
    QTest::newRow("trace")
        << QStringList{scan, range, QStringLiteral("3-7"), QStringLiteral("--trace")}
        << QStringLiteral("3 4:onebyte 5:wrongfirst 7:reply=0603") << int(Nothing) << 0
        << QStringLiteral("Address 003\nAddress 007\nThere are 2 readers online\n")
        << QStringList{QStringLiteral("ms port opened: %1 at 9600,N,8,1"),
                       QStringLiteral("ms write 06\n"),
                       QStringLiteral("ms write 83 02 3F 03\n"),
                       QStringLiteral("003 over: 4 waiting, 02 4F 4B 03, first byte at ~3 ms: "
                                      "reader\n"),
                       QStringLiteral(
                           "004 over: 1 waiting, 06, first byte at ~3 ms: one byte, not enough\n"),
                       QStringLiteral("005 over: 2 waiting, 15 03, first byte at ~3 ms: first byte "
                                      "not STX or ACK, "
                                      "not listed\n"),
                       QStringLiteral("006 over: 0 waiting: nothing\n"),
                       QStringLiteral("007 over: 2 waiting, 06 03, first byte at ~3 ms: reader\n"),
                       QStringLiteral("ms port closed\n")}
        << polls(3, 7);
    QTest::newRow("assign") << QStringList{assign, QStringLiteral("7")} << QStringLiteral("0")
                            << int(Nothing) << 0
                            << QStringLiteral(
                                   "Reader address has been changed to 007 - run "
                                   "\"rollcall scan --addresses 7-7\" to verify the change\n")
                            << QStringList()
                            << polls(0, 0) + Ack + polls(7, 7) + Ack +
                                   QByteArray("\x80\x02\x00IA007\x03", 9);
    QTest::newRow("assign, the adapter echoes")
        << QStringList{assign, QStringLiteral("7")} << QStringLiteral("--echo 0") << int(Nothing)
        << 0
        << QStringLiteral("Reader address has been changed to 007 - run "
                          "\"rollcall scan --addresses 7-7\" to verify the change\n")
        << QStringList{QStringLiteral("the adapter echoes what it sends; its echo is set aside\n")}
        << polls(0, 0) + Ack + polls(7, 7) + Ack + QByteArray("\x80\x02\x00IA007\x03", 9);
    QTest::newRow("assign, another master")
        << QStringList{assign, QStringLiteral("7")} << QStringLiteral("--other-master 0")
        << int(Nothing) << 1 << QString()
        << QStringList{QStringLiteral("Address change stopped: ") +
                       OtherMasterSeen.arg(QLatin1String("80 02 3F 03"))}
        << QByteArray();
    QTest::newRow("assign, taken")
        << QStringList{assign, QStringLiteral("7")} << QStringLiteral("0 7") << int(Nothing) << 3
        << QString() << QStringList{QStringLiteral("Address already being used\n")}
        << polls(0, 0) + Ack + polls(7, 7) + Ack;
    QTest::newRow("assign, nobody at 0")
        << QStringList{assign, QStringLiteral("7")} << QStringLiteral("5") << int(Nothing) << 3
        << QString() << QStringList{QStringLiteral("Reader Address 0 is not online\n")}
        << polls(0, 0);
    QTest::newRow("assign, NEW refused")
        << QStringList{assign, QStringLiteral("127")} << QStringLiteral("0") << int(Nothing) << 2
        << QString() << QStringList{QStringLiteral("rollcall: Invalid address \"127\"")}
        << QByteArray();
    QTest::newRow("assign, window refused")
        << QStringList{assign, QStringLiteral("7"), QStringLiteral("--window"),
                       QStringLiteral("20")}
        << QStringLiteral("0") << int(Nothing) << 2 << QString()
        << QStringList{QStringLiteral("rollcall: --window is for scan and watch")} << QByteArray();
    QTest::newRow("Ctrl+C") << QStringList{scan, range, QStringLiteral("0-9")}
                            << QStringLiteral("1 4") << int(Interrupt) << 130
                            << QStringLiteral("Address 001\n") << QStringList() << polls(0, 2);
    QTest::newRow("SIGTERM, json")
        << QStringList{scan, range, QStringLiteral("0-9"), QStringLiteral("--json")}
        << QStringLiteral("1") << int(Terminate) << 143 << QString() << QStringList()
        << polls(0, 2);
    QTest::newRow("unplugged, json")
        << QStringList{scan, range, QStringLiteral("0-9"), QStringLiteral("--json")}
        << QStringLiteral("1") << int(Unplug) << 1
        << QStringLiteral(R"({"port":1,"device":"%1","baud":9600,"addresses":[0,9],)"
                          R"("readers":[1],"complete":false,"stopped_at":2,)"
                          R"("reason":"adapter unplugged","replies":[)"
                          R"({"address":1,"first_byte_ms":~3,"bytes":4,"listed":true}]})"
                          "\n")
        << QStringList{QStringLiteral("Scan stopped at 002: adapter unplugged\n")} << polls(0, 2);
    QTest::newRow("watch, another master")
        << QStringList{QStringLiteral("watch"), range, QStringLiteral("0-9")}
        << QStringLiteral("--other-master 9") << int(Nothing) << 1
        << QStringLiteral("After 0 passes:\nNo reader answered\n")
        << QStringList{QStringLiteral("Scan stopped at 000: ") +
                       OtherMasterSeen.arg(QLatin1String("89 02 3F 03"))}
        << QByteArray();
    QTest::newRow("watch, unplugged, json")
        << QStringList{QStringLiteral("watch"), range, QStringLiteral("0-1"),
                       QStringLiteral("--json")}
        << QStringLiteral("1") << int(Unplug) << 1
        << QStringLiteral(
               R"({"event":"online","time":"HH:MM:SS.mmm","address":1})"
               "\n"
               R"({"event":"summary","port":1,"device":"%1","baud":9600,"addresses":[0,1],)"
               R"("window_ms":200,"passes":1,"tally":[{"address":1,"polls":1,"answers":1,)"
               R"("misses":0,"longest_miss_run":0,"first_byte_ms":{"min":~3,"median":~3,)"
               R"("max":~3}}],"complete":false,"stopped_at":0,"reason":"adapter unplugged"})"
               "\n")
        << QStringList{QStringLiteral("Scan stopped at 000: adapter unplugged\n")}
        << polls(0, 1) + polls(0, 0);
    // A row named with "%1" runs on a device named with it, as an IPv6 zone may be; "%1"
    // in its columns then stands for that whole name.
    QTest::newRow("watch, json, a device named with %1")
        << QStringList{QStringLiteral("watch"), QStringLiteral("--com"),
                       QStringLiteral("1=%1"),  range,
                       QStringLiteral("0-1"),   QStringLiteral("--json")}
        << QStringLiteral("1") << int(Interrupt) << 130
        << QStringLiteral(
               R"({"event":"online","time":"HH:MM:SS.mmm","address":1})"
               "\n"
               R"({"event":"summary","port":1,"device":"%1","baud":9600,"addresses":[0,1],)"
               R"("window_ms":200,"passes":1,"tally":[{"address":1,"polls":1,"answers":1,)"
               R"("misses":0,"longest_miss_run":0,"first_byte_ms":{"min":~3,"median":~3,)"
               R"("max":~3}}],"complete":true})"
               "\n")
        << QStringList() << polls(0, 1) + polls(0, 0);
    // Compared with an earlier visit: what changed after the scan's own lines, and the
    // exit status says whether anything did. A file that cannot be compared sends nothing.
    const QString compare = QStringLiteral("--compare");
    QTest::newRow("compared, nothing changed")
        << QStringList{scan, range, QStringLiteral("0-4"), compare, earlierScan("0,4", "0,3")}
        << QStringLiteral("0 3") << int(Nothing) << 0
        << QStringLiteral(
               "Address 000\nAddress 003\nThere are 2 readers online\nNothing changed since then\n")
        << QStringList() << polls(0, 4);
    QTest::newRow("compared, readers new and missing")
        << QStringList{scan, range, QStringLiteral("0-4"), compare, earlierScan("0,4", "0,2")}
        << QStringLiteral("0 3 4") << int(Nothing) << 4
        << QStringLiteral("Address 000\nAddress 003\nAddress 004\nThere are 3 readers online\n"
                          "New since then: 003, 004\nMissing since then: 002\n")
        << QStringList() << polls(0, 4);
    QTest::newRow("compared, json")
        << QStringList{scan,
                       range,
                       QStringLiteral("0-2"),
                       QStringLiteral("--json"),
                       compare,
                       earlierScan("0,2", "0,2")}
        << QStringLiteral("0") << int(Nothing) << 4
        << QStringLiteral(R"({"port":1,"device":"%1","baud":9600,"addresses":[0,2],)"
                          R"("readers":[0],"complete":true,"replies":[)"
                          R"({"address":0,"first_byte_ms":~3,"bytes":4,"listed":true}],)"
                          R"("compared":{"new":[],"missing":[2]}})"
                          "\n")
        << QStringList() << polls(0, 2);
    // Half a scan would call every reader after its stop missing.
    QTest::newRow("compared, unplugged, json")
        << QStringList{scan,
                       range,
                       QStringLiteral("0-9"),
                       QStringLiteral("--json"),
                       compare,
                       earlierScan("0,9", "1,5")}
        << QStringLiteral("1") << int(Unplug) << 1
        << QStringLiteral(R"({"port":1,"device":"%1","baud":9600,"addresses":[0,9],)"
                          R"("readers":[1],"complete":false,"stopped_at":2,)"
                          R"("reason":"adapter unplugged","replies":[)"
                          R"({"address":1,"first_byte_ms":~3,"bytes":4,"listed":true}]})"
                          "\n")
        << QStringList{QStringLiteral("Scan stopped at 002: adapter unplugged\n"),
                       QStringLiteral(": the scan stopped before its last address\n")}
        << polls(0, 2);
    QTest::newRow("compared with a file that is not JSON")
        << QStringList{scan, compare, Earlier + QStringLiteral("Address 003\n")}
        << QStringLiteral("3") << int(Nothing) << 2 << QString()
        << QStringList{QStringLiteral(
               ": not JSON; give it the file an earlier \"rollcall scan --json\" wrote\n")}
        << QByteArray();
    QTest::newRow("compared with another range")
        << QStringList{scan, range, QStringLiteral("0-4"), compare, earlierScan("0,126", "3")}
        << QStringLiteral("3") << int(Nothing) << 2 << QString()
        << QStringList{QStringLiteral(
               ": that scan polled 0-126, this one polls 0-4; use --addresses 0-126\n")}
        << QByteArray();
    QTest::newRow("compared with a scan that stopped")
        << QStringList{scan, compare, earlierScan("0,126", "3", false)} << QStringLiteral("3")
        << int(Nothing) << 2 << QString()
        << QStringList{QStringLiteral(": that scan did not go through every address")}
        << QByteArray();
    QTest::newRow("missing device named with %1")
        << QStringList{scan, QStringLiteral("--com"), QStringLiteral("1=%1-missing")} << QString()
        << int(Nothing) << 1 << QString()
        << QStringList{QStringLiteral("Com 1: %1-missing does not exist\n"
                                      "%1-missing does not exist.\n"),
                       QStringLiteral("To put a device on Com 1")}
        << QByteArray();
}

void TestTerminal::commandsFromATerminal()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, readers);
    QFETCH(int, event);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QStringList, errorOutput);
    QFETCH(QByteArray, traffic);

    sim::ReaderBus bus;
    const bool percentInName = QString::fromLatin1(QTest::currentDataTag()).contains("%1");
    const QString device = percentInName ? publishNamedWithPercent(bus) : publishUniquely(bus);
    QVERIFY(!device.isEmpty());
    setHabits(bus, readers);
    OpenWatch watch(device);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_LOGGING_RULES"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("ROLLCALL_COM1"), device);
    QProcess program;
    program.setProcessEnvironment(environment);
    arguments.replaceInStrings(QStringLiteral("%1"), device);
    QTemporaryDir files;
    for (QString &argument : arguments) {
        if (!argument.startsWith(Earlier))
            continue;
        QFile earlier(files.filePath(QStringLiteral("site.json")));
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write(argument.mid(Earlier.size()).toUtf8());
        earlier.close();
        argument = earlier.fileName();
    }
    program.start(QStringLiteral(ROLLCALL_PROGRAM), arguments);
    QVERIFY(program.waitForStarted());
    bringAbout(Event(event), bus, program, readers);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(program.waitForFinished(15000));
    // Anything sent after what is expected would show in the comparison below.
    bus.waitForReceived(int(traffic.size()) + 1, 300);

    const QByteArray rawOut = program.readAllStandardOutput();
    const QString out = settled(QString::fromLocal8Bit(rawOut), readers);
    const QString err = settled(QString::fromLocal8Bit(program.readAllStandardError()), readers);
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    output.replace(QStringLiteral("%1"), device);
    if (output.contains(QLatin1Char('<')))
        QVERIFY2(matchesWithCounts(out, output), qPrintable(out));
    else
        QCOMPARE(out, output);
    // Read as a program reads it, whatever the device is named; the comparison above
    // holds every key in its order.
    if (arguments.contains(QStringLiteral("--json"))) {
        for (const QByteArray &line : rawOut.split('\n')) {
            if (line.isEmpty())
                continue;
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(),
                     line.constData());
            if (document.object().contains(QLatin1String("device")))
                QCOMPARE(document.object().value(QLatin1String("device")).toString(), device);
        }
    }
    for (const QString &expected : errorOutput.replaceInStrings(QStringLiteral("%1"), device))
        QVERIFY2(err.contains(expected), qPrintable(err));
    if (errorOutput.isEmpty())
        QCOMPARE(err, QString());
    if (traffic != AnyTraffic)
        QCOMPARE(bus.received().toHex(' '), traffic.toHex(' '));
    if (exitCode == 2)
        QCOMPARE(watch.opens(), 0);
}

QTEST_GUILESS_MAIN(TestTerminal)
#include "tst_terminal.moc"
