#include "sim/readerbus.h"
#include "tests/support/simulatedline.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <csignal>

namespace {

// The times of the polls to address 0 that crossed the line, in nanoseconds.
QList<qint64> pollsAtZero(const QList<sim::TraceEntry> &trace)
{
    static const QByteArray poll("\x80\x02\x3F\x03", 4);
    QByteArray bytes;
    QList<qint64> times;
    for (const sim::TraceEntry &entry : trace) {
        if (entry.direction == sim::TraceEntry::FromProgram) {
            bytes += char(entry.byte);
            times << entry.nanoseconds;
        }
    }
    QList<qint64> polls;
    for (qsizetype at = bytes.indexOf(poll); at >= 0; at = bytes.indexOf(poll, at + 1))
        polls << times.at(at);
    return polls;
}

const QString Waiting = QStringLiteral("Connect the next reader (waiting at 000)\n");

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
    QTest::addColumn<QString>("arguments"); // after "commission"
    QTest::addColumn<QString>("readers");   // on the bus before the run
    // What a technician does once the program has said TRIGGER as often as the steps
    // before waited for it, as "TRIGGER > ACTION | ...": "+READER" connects a reader as
    // rollcall-sim's --reader takes it, "-ADDR" takes one away, "unplug" pulls the
    // adapter, "^C" interrupts, "~MS" waits.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");      // standard output, exactly; "T" for each time
    QTest::addColumn<QString>("errorOutput"); // standard error contains it
    QTest::addColumn<QList<int>>("readersAfter");
    QTest::addColumn<int>("setAddressFrames");

    const QString note = QStringLiteral("polled once a second");
    QTest::newRow("three readers, a taken address skipped, to the last")
        << "--from 10 --to 13"
        << "11"
        << "Connect > +0 | Connect > +0 | Connect > +0" << 0
        << Waiting + "000 → 010: done (1 so far)\n" + Waiting +
               "011 is taken: skipped\n000 → 012: done (2 so far)\n" + Waiting +
               "000 → 013: done (3 so far)\n3 readers given 010, 012, 013\n"
        << note << QList<int>{10, 11, 12, 13} << 3;
    QTest::newRow("two readers at 000 get nothing until one is alone")
        << "--from 10"
        << ""
        << "Connect > +0:garbled | connect one at a time > -0 | Connect > +0 | Connect > ^C" << 0
        << Waiting + "two readers answer at 000: connect one at a time\n" + Waiting +
               "000 → 010: done (1 so far)\n" + Waiting + "1 reader given 010\n"
        << note << QList<int>{10} << 1;
    QTest::newRow("a reader that keeps its address is tried twice, then the next")
        << "--from 10"
        << ""
        << "Connect > +0:keeps | check it > ~1500 | > -0 | Connect > +0 | Connect > ^C" << 0
        << Waiting + "the reader at 000 did not take 010: check it\n" + Waiting +
               "000 → 010: done (1 so far)\n" + Waiting + "1 reader given 010\n"
        << note << QList<int>{10} << 3;
    QTest::newRow("interrupted with nothing given, 000 polled once a second")
        << "--from 10"
        << ""
        << "Connect > ~2600 | > ^C" << 130 << Waiting + "No reader was given an address\n"
        << note << QList<int>{} << 0;
    QTest::newRow("no free address left")
        << "--from 10 --to 10"
        << "10"
        << "Connect > +0" << 3
        << Waiting + "010 is taken: skipped\nNo reader was given an address\n"
        << "No free address left up to 010: the reader at 000 keeps its address"
        << QList<int>{0, 10} << 0;
    QTest::newRow("the adapter lost: the summary, then why")
        << "--from 10"
        << ""
        << "Connect > +0 | Connect > unplug" << 1
        << Waiting + "000 → 010: done (1 so far)\n" + Waiting + "1 reader given 010\n"
        << "Commissioning stopped: adapter unplugged" << QList<int>{10} << 1;
    QTest::newRow("JSON Lines") << "--from 10 --json"
                                << "10"
                                << R"("waiting" > +0 | "waiting" > ^C)" << 0
                                << R"({"event":"waiting","time":"T","address":0}
{"event":"found","time":"T","address":0}
{"event":"skipped_taken","time":"T","address":10}
{"event":"assigned","time":"T","address":11,"count":1}
{"event":"waiting","time":"T","address":0}
{"event":"summary","port":1,"device":"%1","baud":9600,"addresses":[10,126],"given":[11],"ended":"interrupted","complete":true}
)"
                                << "" << QList<int>{10, 11} << 1;
}

void TestCommission::readersConnectedOneAfterAnotherGetTheFreeAddresses()
{
    QFETCH(QString, arguments);
    QFETCH(QString, readers);
    QFETCH(QString, steps);
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
    environment.insert(QStringLiteral("ROLLCALL_COM1"), device);
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(ROLLCALL_PROGRAM),
                  QStringList{QStringLiteral("commission")} + arguments.split(QLatin1Char(' ')));
    QVERIFY(program.waitForStarted());

    QString out;
    QStringList triggersSeen;
    for (const QString &step : steps.split(QStringLiteral(" | "))) {
        const QString trigger = step.section(QLatin1Char('>'), 0, 0).trimmed();
        const QString action = step.section(QLatin1Char('>'), 1).trimmed();
        triggersSeen << trigger;
        QElapsedTimer waited;
        waited.start();
        while (out.count(trigger) < triggersSeen.count(trigger) && !trigger.isEmpty()) {
            QVERIFY2(waited.elapsed() < 20000, qPrintable(out));
            program.waitForReadyRead(100);
            out += QString::fromUtf8(program.readAllStandardOutput());
        }
        if (action.startsWith(QLatin1Char('+')))
            bus.addReader(*sim::parseReaderOption(action.mid(1)));
        else if (action.startsWith(QLatin1Char('-')))
            bus.removeReader(action.mid(1).toInt());
        else if (action.startsWith(QLatin1Char('~')))
            QThread::msleep(action.mid(1).toULong());
        else if (action == QLatin1String("unplug"))
            bus.unplug();
        else if (action == QLatin1String("^C"))
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
    // The simulated readers moved only for set-address frames that crossed the tty.
    QCOMPARE(bus.readerAddresses(), readersAfter);
    QCOMPARE(bus.received().count(QByteArray("\x80\x02\x00IA", 5)), setAddressFrames);
    // While nothing answers, 000 is polled at most once a second. A poll may come late on
    // a busy machine, never early; the simulator reads the bytes as they arrive.
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
