#include "sim/readerbus.h"
#include "tests/support/simulatedline.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <csignal>

namespace {

// The set-address frame to address 0, written out byte by byte rather than taken from bus/.
QByteArray setAddressFrame(int address)
{
    return QByteArray("\x80\x02\x00IA", 5) + QByteArray::number(address).rightJustified(3, '0') +
           QByteArray("\x03", 1);
}

const QByteArray PollAtZero("\x80\x02\x3F\x03", 4);

// What a technician does once the program has said `trigger` as often as the steps before
// waited for it: "+SPEC" connects a reader as rollcall-sim's --reader takes it, "-ADDR"
// takes one away, "unplug" pulls the adapter, "^C" interrupts, "~MS" waits.
struct Step
{
    QString trigger;
    QString action;
};

Step step(const char *text)
{
    const QString whole = QString::fromUtf8(text);
    const qsizetype arrow = whole.lastIndexOf(QLatin1String(" > "));
    return {whole.left(arrow), whole.mid(arrow + 3)};
}

const char *const Connect = "Connect the next reader (waiting at 000)";

// The times of the polls to address 0 that crossed the line, in nanoseconds.
QList<qint64> pollsAtZero(const QList<sim::TraceEntry> &trace)
{
    QByteArray bytes;
    QList<qint64> times;
    for (const sim::TraceEntry &entry : trace) {
        if (entry.direction != sim::TraceEntry::FromProgram)
            continue;
        bytes += char(entry.byte);
        times << entry.nanoseconds;
    }
    QList<qint64> polls;
    for (qsizetype at = bytes.indexOf(PollAtZero); at >= 0; at = bytes.indexOf(PollAtZero, at + 1))
        polls << times.at(at);
    return polls;
}

} // namespace

// rollcall commission, the real program on the simulated line, with readers connected
// one after another as it asks for them: what it prints, how it ends, and what moved.
class TestCommission : public QObject
{
    Q_OBJECT
private slots:
    void readersConnectedOneAfterAnotherGetTheFreeAddresses_data();
    void readersConnectedOneAfterAnotherGetTheFreeAddresses();
};

void TestCommission::readersConnectedOneAfterAnotherGetTheFreeAddresses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("readers"); // on the bus before the run
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");      // standard output, exactly; "T" for each time
    QTest::addColumn<QString>("errorOutput"); // standard error contains it
    QTest::addColumn<QList<int>>("readersAfter");
    QTest::addColumn<int>("setAddressFrames");

    const QStringList from10{QStringLiteral("--from"), QStringLiteral("10")};
    const QString waitNote = QStringLiteral("polled once a second");
    QTest::newRow("three readers, a taken address skipped, to the last")
        << from10 + QStringList{QStringLiteral("--to"), QStringLiteral("13")}
        << QStringLiteral("11")
        << QStringList{QString::fromUtf8(Connect) + QStringLiteral(" > +0"),
                       QString::fromUtf8(Connect) + QStringLiteral(" > +0"),
                       QString::fromUtf8(Connect) + QStringLiteral(" > +0")}
        << 0
        << QStringLiteral("Connect the next reader (waiting at 000)\n"
                          "000 → 010: done (1 so far)\n"
                          "Connect the next reader (waiting at 000)\n"
                          "011 is taken: skipped\n"
                          "000 → 012: done (2 so far)\n"
                          "Connect the next reader (waiting at 000)\n"
                          "000 → 013: done (3 so far)\n"
                          "3 readers given 010, 012, 013\n")
        << waitNote << QList<int>{10, 11, 12, 13} << 3;
    QTest::newRow("two readers at 000 get nothing until one is alone")
        << from10 << QString()
        << QStringList{QString::fromUtf8(Connect) + QStringLiteral(" > +0:garbled"),
                       QStringLiteral("connect one at a time > -0"),
                       QString::fromUtf8(Connect) + QStringLiteral(" > +0"),
                       QString::fromUtf8(Connect) + QStringLiteral(" > ^C")}
        << 0
        << QStringLiteral("Connect the next reader (waiting at 000)\n"
                          "two readers answer at 000: connect one at a time\n"
                          "Connect the next reader (waiting at 000)\n"
                          "000 → 010: done (1 so far)\n"
                          "Connect the next reader (waiting at 000)\n"
                          "1 reader given 010\n")
        << waitNote << QList<int>{10} << 1;
    QTest::newRow("a reader that keeps its address is tried twice, then the next")
        << from10 << QString()
        << QStringList{QString::fromUtf8(Connect) + QStringLiteral(" > +0:keeps"),
                       QStringLiteral("check it > -0"),
                       QString::fromUtf8(Connect) + QStringLiteral(" > +0"),
                       QString::fromUtf8(Connect) + QStringLiteral(" > ^C")}
        << 0
        << QStringLiteral("Connect the next reader (waiting at 000)\n"
                          "the reader at 000 did not take 010: check it\n"
                          "Connect the next reader (waiting at 000)\n"
                          "000 → 010: done (1 so far)\n"
                          "Connect the next reader (waiting at 000)\n"
                          "1 reader given 010\n")
        << waitNote << QList<int>{10} << 3;
    QTest::newRow("interrupted with nothing given, 000 polled once a second")
        << from10 << QString()
        << QStringList{QString::fromUtf8(Connect) + QStringLiteral(" > ~2600"),
                       QStringLiteral(" > ^C")}
        << 130
        << QStringLiteral("Connect the next reader (waiting at 000)\n"
                          "No reader was given an address\n")
        << waitNote << QList<int>{} << 0;
    QTest::newRow("no free address left")
        << QStringList{QStringLiteral("--from"), QStringLiteral("10"), QStringLiteral("--to"),
                       QStringLiteral("10")}
        << QStringLiteral("10") << QStringList{QString::fromUtf8(Connect) + QStringLiteral(" > +0")}
        << 3
        << QStringLiteral("Connect the next reader (waiting at 000)\n"
                          "010 is taken: skipped\n"
                          "No reader was given an address\n")
        << QStringLiteral("No free address left up to 010: the reader at 000 keeps its address")
        << QList<int>{0, 10} << 0;
    QTest::newRow("the adapter lost: the summary, then why")
        << from10 << QString()
        << QStringList{QString::fromUtf8(Connect) + QStringLiteral(" > +0"),
                       QString::fromUtf8(Connect) + QStringLiteral(" > unplug")}
        << 1
        << QStringLiteral("Connect the next reader (waiting at 000)\n"
                          "000 → 010: done (1 so far)\n"
                          "Connect the next reader (waiting at 000)\n"
                          "1 reader given 010\n")
        << QStringLiteral("Commissioning stopped: adapter unplugged") << QList<int>{10} << 1;
    const QString json = QStringLiteral("--json");
    QTest::newRow("JSON Lines")
        << from10 + QStringList{json} << QStringLiteral("10")
        << QStringList{QStringLiteral("\"waiting\" > +0"), QStringLiteral("\"waiting\" > ^C")} << 0
        << QStringLiteral(
               R"({"event":"waiting","time":"T","address":0})"
               "\n"
               R"({"event":"found","time":"T","address":0})"
               "\n"
               R"({"event":"skipped_taken","time":"T","address":10})"
               "\n"
               R"({"event":"assigned","time":"T","address":11,"count":1})"
               "\n"
               R"({"event":"waiting","time":"T","address":0})"
               "\n"
               R"({"event":"summary","port":1,"device":"%1","baud":9600,"addresses":[10,126],)"
               R"("given":[11],"ended":"interrupted","complete":true})"
               "\n")
        << QString() << QList<int>{10, 11} << 1;
}

void TestCommission::readersConnectedOneAfterAnotherGetTheFreeAddresses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, readers);
    QFETCH(QStringList, steps);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(QString, errorOutput);
    QFETCH(QList<int>, readersAfter);
    QFETCH(int, setAddressFrames);

    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    QVERIFY(!device.isEmpty());
    for (const QString &reader : readers.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        bus.addReader(*sim::parseReaderOption(reader));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_LOGGING_RULES"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("ROLLCALL_COM1"), device);
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(ROLLCALL_PROGRAM),
                  QStringList{QStringLiteral("commission")} + arguments);
    QVERIFY(program.waitForStarted());

    QString out;
    QStringList triggersSeen;
    for (const QString &text : steps) {
        const Step next = step(text.toUtf8().constData());
        const qsizetype times = triggersSeen.count(next.trigger) + 1;
        triggersSeen << next.trigger;
        QElapsedTimer waited;
        waited.start();
        while (!next.trigger.isEmpty() && out.count(next.trigger) < times) {
            QVERIFY2(waited.elapsed() < 20000, qPrintable(out));
            program.waitForReadyRead(100);
            out += QString::fromUtf8(program.readAllStandardOutput());
        }
        if (next.action.startsWith(QLatin1Char('+')))
            bus.addReader(*sim::parseReaderOption(next.action.mid(1)));
        else if (next.action.startsWith(QLatin1Char('-')))
            bus.removeReader(next.action.mid(1).toInt());
        else if (next.action.startsWith(QLatin1Char('~')))
            QThread::msleep(next.action.mid(1).toULong());
        else if (next.action == QLatin1String("unplug"))
            bus.unplug();
        else if (next.action == QLatin1String("^C"))
            ::kill(static_cast<pid_t>(program.processId()), SIGINT);
    }
    QVERIFY(program.waitForFinished(20000));
    out += QString::fromUtf8(program.readAllStandardOutput());
    const QString err = QString::fromUtf8(program.readAllStandardError());

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    out.replace(QRegularExpression(QStringLiteral(R"("time":"[-0-9T:.]+")")),
                QStringLiteral("\"time\":\"T\""));
    QCOMPARE(out, output.replace(QStringLiteral("%1"), device));
    QVERIFY2(err.contains(errorOutput), qPrintable(err));
    QVERIFY2(!err.contains(QLatin1Char('\a')), "the bell rings on a terminal only");
    if (arguments.contains(QStringLiteral("--json")))
        for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QVERIFY2(QJsonDocument::fromJson(line.toUtf8()).isObject(), qPrintable(line));

    // What moved on the bus is what the set-address frames that crossed the line did.
    QCOMPARE(bus.readerAddresses(), readersAfter);
    QCOMPARE(bus.received().count(QByteArray("\x80\x02\x00IA", 5)), setAddressFrames);
    for (int address : readersAfter)
        if (address != 0 && !readers.split(QLatin1Char(' ')).contains(QString::number(address)))
            QVERIFY(bus.received().contains(setAddressFrame(address)));
    // While nothing answers, 000 is polled at most once a second. A poll may come late on
    // a busy machine, never early; the sim's clock reads the bytes as they arrive.
    if (QString::fromLatin1(QTest::currentDataTag()).contains(QLatin1String("once a second"))) {
        const QList<qint64> polls = pollsAtZero(bus.trace());
        QVERIFY2(polls.size() >= 2, "waited over two seconds");
        for (qsizetype i = 1; i < polls.size(); ++i)
            QVERIFY2(polls.at(i) - polls.at(i - 1) >= 950'000'000,
                     qPrintable(QString::number(polls.at(i) - polls.at(i - 1))));
    }
}

QTEST_GUILESS_MAIN(TestCommission)
#include "tst_commission.moc"
