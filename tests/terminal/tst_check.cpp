#include "sim/readerbus.h"
#include "tests/support/simulatedline.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <map>

namespace {

// The habits of the bus, as rollcall-sim's options name them.
void setHabits(sim::ReaderBus &bus, const QString &habits)
{
    for (const QString &habit : habits.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (habit == QLatin1String("--echo"))
            bus.setEcho(sim::Echo::Exact);
        else if (habit == QLatin1String("--other-master"))
            bus.setOtherMaster(std::chrono::milliseconds(45));
        else
            bus.addReader(*sim::parseReaderOption(habit));
    }
}

// `expected` whole, where "{N}" stands for a time of at least N ms, and "<n>" for any
// count. A busy machine may see a reply late, never early: no upper bound.
QString mismatch(const QString &actual, const QString &expected)
{
    static const QRegularExpression placeholder(QStringLiteral(R"(\{(\d+)\}|<n>)"));
    QString pattern;
    QList<int> atLeast;
    qsizetype at = 0;
    for (auto it = placeholder.globalMatch(expected); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        pattern += QRegularExpression::escape(expected.mid(at, match.capturedStart() - at));
        pattern += match.hasCaptured(1) ? QStringLiteral(R"((\d+\.\d))") : QStringLiteral(R"(\d+)");
        if (match.hasCaptured(1))
            atLeast << match.captured(1).toInt();
        at = match.capturedEnd();
    }
    pattern += QRegularExpression::escape(expected.mid(at));
    const QRegularExpressionMatch found =
        QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(actual);
    if (!found.hasMatch())
        return QStringLiteral("expected:\n%1\nactual:\n%2").arg(expected, actual);
    for (int i = 0; i < atLeast.size(); ++i) {
        if (found.captured(i + 1).toDouble() < atLeast[i])
            return QStringLiteral("%1 ms is quicker than the reader's %2 ms:\n%3")
                .arg(found.captured(i + 1))
                .arg(atLeast[i])
                .arg(actual);
    }
    return {};
}

// What crossed the line, as ACKs and poll frames written out byte by byte; an empty map
// if anything else crossed it: a set-address frame, say.
std::map<int, int> pollsByAddress(const QByteArray &received, bool *onlyPolls)
{
    std::map<int, int> polls;
    *onlyPolls = true;
    for (qsizetype i = 0; i < received.size();) {
        const auto byte = static_cast<unsigned char>(received[i]);
        if (byte == 0x06) {
            ++i;
        } else if (byte >= 0x80 && byte <= 0x80 + 126 &&
                   received.mid(i + 1, 3) == QByteArray("\x02\x3F\x03", 3)) {
            ++polls[byte - 0x80];
            i += 4;
        } else {
            *onlyPolls = false;
            return {};
        }
    }
    return polls;
}

const QString Quiet = QStringLiteral(
    "line          ok       quiet: nothing heard but rollcall's own polls and the readers' "
    "replies\n");
const QString NoEcho = QStringLiteral("echo          ok       the adapter does not echo\n");
const QString OnlyReaders = QStringLiteral("replies       ok       nothing but readers' replies\n");
const QString DelayNotShown =
    QStringLiteral("adapter delay -        not shown: the adapter does not echo\n");
const QString Fine = QStringLiteral("Nothing is wrong with this line\n");

} // namespace

// `rollcall check`, the real program on a simulated line: its verdict, row by row, its
// exit status, and that it sent nothing but polls.
class TestCheck : public QObject
{
    Q_OBJECT
private slots:
    void verdicts_data();
    void verdicts();
};

void TestCheck::verdicts_data()
{
    QTest::addColumn<QStringList>("arguments"); // after "check --com 1=DEVICE"
    QTest::addColumn<QString>("habits");        // as rollcall-sim's options name them
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // "%1" is the device
    // Every address polled at both speeds; otherwise nothing sent at all.
    QTest::addColumn<bool>("everyAddress");

    QTest::newRow("healthy, a late reader the slowest")
        << QStringList() << QStringLiteral("1:baud=9600 5:delay=60:baud=9600") << 0
        << Quiet + NoEcho +
               QStringLiteral(
                   "speed         ok       readers answer at 9600 baud: 001, 005; none at 19200 "
                   "baud\n") +
               OnlyReaders +
               QStringLiteral("reply time    ok       fastest Address 001 at 9600 baud, first "
                              "byte {3} ms; slowest Address 005 at 9600 baud, first byte {60} "
                              "ms, after the check's 35 ms window\n") +
               DelayNotShown + Fine
        << true;
    QTest::newRow("the adapter echoes")
        << QStringList() << QStringLiteral("--echo 3:baud=9600") << 0
        << Quiet +
               QStringLiteral("echo          note     the adapter echoes what it sends; rollcall "
                              "sets the echo aside, so it is no fault\n"
                              "speed         ok       readers answer at 9600 baud: 003; none at "
                              "19200 baud\n") +
               OnlyReaders +
               QStringLiteral("reply time    ok       Address 003 at 9600 baud, first byte {3} "
                              "ms\n"
                              "adapter delay ok       the echo's first byte came {0} ms after "
                              "the poll at the quickest, {0} ms at the median of <n> polls\n") +
               Fine
        << true;
    // Heard while listening, at each speed: nothing is sent.
    const QString notChecked = QStringLiteral(
        R"(","status":"not_checked","evidence":"not checked at 9600 and 19200 baud: another )"
        R"(master talks"},)");
    const QString stoppedAt = QStringLiteral(
        R"("complete":false,"stopped_at":0,"reason":"another device is polling this line )"
        R"((seen: 89 02 3F 03); stop the controller or disconnect it, then try again",)"
        R"("other_master":"89 02 3F 03","echo":"unknown","echo_ms":null,"readers":[],)"
        R"("not_a_reader":[]})");
    QTest::newRow("another master, json")
        << QStringList{QStringLiteral("--json")} << QStringLiteral("--other-master 9") << 5
        << QStringLiteral(R"({"port":1,"device":"%1","window_ms":35,"ok":false,)"
                          R"("problems":["line"],"rows":[{"row":"line","status":"problem",)"
                          R"("evidence":"another master talks (seen: 89 02 3F 03 at 9600 baud, )"
                          R"(89 02 3F 03 at 19200 baud): stop the controller or disconnect it, )"
                          R"(then check again"},{"row":"echo)") +
               notChecked + R"({"row":"speed)" + notChecked + R"({"row":"replies)" + notChecked +
               R"({"row":"reply time)" + notChecked + R"({"row":"adapter delay)" +
               notChecked.chopped(1) + R"(],"speeds":[{"baud":9600,)" + stoppedAt +
               R"(,{"baud":19200,)" + stoppedAt + "]}\n"
        << false;
    QTest::newRow("a garbled reader")
        << QStringList() << QStringLiteral("3:baud=9600 12:garbled:baud=9600") << 5
        << Quiet + NoEcho +
               QStringLiteral("speed         ok       readers answer at 9600 baud: 003; none at "
                              "19200 baud\n"
                              "replies       PROBLEM  bytes that no reader sends: 012 at 9600 "
                              "baud answered 13 55 AA 41, again when polled alone; two readers "
                              "on one address, a reader that garbles its reply, or noise\n"
                              "reply time    ok       Address 003 at 9600 baud, first byte {3} "
                              "ms\n") +
               DelayNotShown + QStringLiteral("This line has a problem: replies\n")
        << true;
    QTest::newRow("a reader at the other speed")
        << QStringList() << QStringLiteral("1:baud=9600 2:delay=20:baud=19200") << 5
        << Quiet + NoEcho +
               QStringLiteral("speed         PROBLEM  readers answer at both speeds, 9600 baud: "
                              "001; 19200 baud: 002; a master at one speed cannot see the "
                              "others: set every reader to one speed\n") +
               OnlyReaders +
               QStringLiteral("reply time    ok       fastest Address 001 at 9600 baud, first "
                              "byte {3} ms; slowest Address 002 at 19200 baud, first byte {20} "
                              "ms\n") +
               DelayNotShown + QStringLiteral("This line has a problem: speed\n")
        << true;
    QTest::newRow("nobody")
        << QStringList() << QString() << 5
        << Quiet + NoEcho +
               QStringLiteral("speed         PROBLEM  no reader answers at 9600 or 19200 baud: "
                              "check the wiring, the readers' power and the adapter\n") +
               OnlyReaders + QStringLiteral("reply time    -        no reader answered\n") +
               DelayNotShown + QStringLiteral("This line has a problem: speed\n")
        << true;
}

void TestCheck::verdicts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, habits);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(bool, everyAddress);

    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    QVERIFY(!device.isEmpty());
    setHabits(bus, habits);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_LOGGING_RULES"})
        environment.remove(QLatin1String(name));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(ROLLCALL_PROGRAM),
                  QStringList{QStringLiteral("check"), QStringLiteral("--com"),
                              QStringLiteral("1=") + device} +
                      arguments);
    QVERIFY(program.waitForFinished(120000));

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(QString::fromLocal8Bit(program.readAllStandardError()), QString());
    QCOMPARE(program.exitCode(), exitCode);
    const QString problem = mismatch(QString::fromLocal8Bit(program.readAllStandardOutput()),
                                     output.replace(QStringLiteral("%1"), device));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    bool onlyPolls = false;
    const std::map<int, int> polls = pollsByAddress(bus.received(), &onlyPolls);
    QVERIFY2(onlyPolls, bus.received().toHex(' ').constData());
    QCOMPARE(polls.empty(), !everyAddress);
    for (int address = 0; everyAddress && address <= 126; ++address)
        QVERIFY2(polls.count(address) && polls.at(address) >= 2,
                 qPrintable(QString::number(address)));
}

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
