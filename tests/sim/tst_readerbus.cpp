#include "sim/readerbus.h"
#include "tests/sim/pcside.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(sim::Fault)
Q_DECLARE_METATYPE(sim::Echo)

namespace {

const QByteArray DefaultReply("\x02OK\x03", 4);

sim::Reader reader(int address, sim::Fault fault = sim::Fault::None)
{
    sim::Reader r;
    r.address = address;
    r.fault = fault;
    return r;
}

qint64 cpuMicroseconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1'000'000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

QByteArray bytesOf(const QList<sim::TraceEntry> &trace, sim::TraceEntry::Direction direction)
{
    QByteArray bytes;
    for (const sim::TraceEntry &entry : trace) {
        if (entry.direction == direction)
            bytes.append(char(entry.byte));
    }
    return bytes;
}

qint64 lastTime(const QList<sim::TraceEntry> &trace, sim::TraceEntry::Direction direction)
{
    qint64 time = -1;
    for (const sim::TraceEntry &entry : trace) {
        if (entry.direction == direction)
            time = entry.nanoseconds;
    }
    return time;
}

qint64 firstTime(const QList<sim::TraceEntry> &trace, sim::TraceEntry::Direction direction)
{
    for (const sim::TraceEntry &entry : trace) {
        if (entry.direction == direction)
            return entry.nanoseconds;
    }
    return -1;
}

} // namespace

class TestReaderBus : public QObject
{
    Q_OBJECT

private slots:
    void providesRawPty();
    void pollAnsweredOnlyAfterWholeFrame();
    void replyWaitsForDelay_data();
    void replyWaitsForDelay();
    void noReplyFromAbsentOrSilentReader_data();
    void noReplyFromAbsentOrSilentReader();
    void faultyReplies_data();
    void faultyReplies();
    void lateReplyComesAfterQuarterSecond();
    void programHearsMoreThanReplies_data();
    void programHearsMoreThanReplies();
    void setAddressMovesReaderZero();
    void setAddressLeavesOthersAlone_data();
    void setAddressLeavesOthersAlone();
    void noiseAndAbandonedFramesIgnored();
    void repliesLeaveInDueOrder();
    void traceRecordsBothDirectionsInOrder();
    void receivedIsExactlyWhatWasWritten();
    void injectedNoiseReachesProgram();
    void readersCanBeReplacedAndRemoved();
    void programMayCloseAndReopen();
    void lineSettingsVisibleThroughSlaveFd();
    void babblingFloodsAndStops();
    void workerIdlesWithoutSpinning_data();
    void workerIdlesWithoutSpinning();
    void unplugHangsUpProgram();
    void publishesAndRemovesLink();
    void answersWithoutKeepingTraffic();
    void refusesToReplaceRegularFile();
};

void TestReaderBus::providesRawPty()
{
    sim::ReaderBus bus;
    QVERIFY(bus.isValid());
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(bus.slavePath()).constData(), &info), 0);
    QVERIFY(S_ISCHR(info.st_mode));
    QVERIFY(::isatty(bus.slaveFd()));

    termios settings{};
    QCOMPARE(::tcgetattr(bus.slaveFd(), &settings), 0);
    QCOMPARE(settings.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
    QCOMPARE(settings.c_oflag & OPOST, tcflag_t(0));
}

void TestReaderBus::pollAnsweredOnlyAfterWholeFrame()
{
    sim::ReaderBus bus;
    bus.addReader(reader(5));
    PcSide pc(bus.slavePath());
    QVERIFY(pc.isOpen());

    const QByteArray frame = pollFrame(5);
    QVERIFY(pc.write(ack() + frame.left(2)));
    QVERIFY(bus.waitForReceived(3, 2000));
    QCOMPARE(pc.readFor(50), QByteArray());
    QVERIFY(pc.write(frame.mid(2)));
    QCOMPARE(pc.read(4, 2000), DefaultReply);

    const QList<sim::TraceEntry> trace = bus.trace();
    QVERIFY(firstTime(trace, sim::TraceEntry::ToProgram) >=
            lastTime(trace, sim::TraceEntry::FromProgram));
}

void TestReaderBus::answersWithoutKeepingTraffic()
{
    sim::ReaderBus bus;
    bus.setKeepsTraffic(false);
    bus.addReader(reader(5));
    PcSide pc(bus.slavePath());
    QVERIFY(pc.isOpen());

    for (int poll = 0; poll < 3; ++poll) {
        QVERIFY(pc.write(ack() + pollFrame(5)));
        QCOMPARE(pc.read(4, 2000), DefaultReply);
    }
    QCOMPARE(bus.received(), QByteArray());
    QCOMPARE(bus.sent(), QByteArray());
    QVERIFY(!bus.takeTrace().isEmpty()); // the trace still sees it, for --trace to drain
}

void TestReaderBus::replyWaitsForDelay_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::newRow("default") << -1;
    QTest::newRow("20 ms") << 20;
    QTest::newRow("80 ms") << 80;
}

void TestReaderBus::replyWaitsForDelay()
{
    QFETCH(int, delayMs);
    sim::Reader r = reader(3);
    if (delayMs >= 0)
        r.delay = std::chrono::milliseconds(delayMs);
    const qint64 expectedNs = std::chrono::nanoseconds(r.delay).count();

    sim::ReaderBus bus;
    bus.addReader(r);
    PcSide pc(bus.slavePath());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(pc.write(ack() + pollFrame(3)));
    QCOMPARE(pc.read(4, 2000), DefaultReply);
    // Only lower bounds: the machine may be busy, so the reply may well be later.
    QVERIFY(clock.nsecsElapsed() >= expectedNs * 9 / 10);

    const QList<sim::TraceEntry> trace = bus.trace();
    const qint64 gap = firstTime(trace, sim::TraceEntry::ToProgram) -
                       lastTime(trace, sim::TraceEntry::FromProgram);
    QVERIFY2(gap >= expectedNs, qPrintable(QString::number(gap)));
}

void TestReaderBus::noReplyFromAbsentOrSilentReader_data()
{
    QTest::addColumn<int>("polled");
    QTest::addColumn<sim::Fault>("fault");
    QTest::newRow("absent") << 9 << sim::Fault::None;
    QTest::newRow("silent") << 5 << sim::Fault::Silent;
}

void TestReaderBus::noReplyFromAbsentOrSilentReader()
{
    QFETCH(int, polled);
    QFETCH(sim::Fault, fault);
    sim::ReaderBus bus;
    bus.addReader(reader(0));
    bus.addReader(reader(5, fault));
    PcSide pc(bus.slavePath());

    QVERIFY(pc.write(ack() + pollFrame(polled)));
    QVERIFY(bus.waitForReceived(5, 2000));
    QCOMPARE(pc.readFor(300), QByteArray());
    QCOMPARE(bus.sent(), QByteArray());
}

void TestReaderBus::faultyReplies_data()
{
    QTest::addColumn<sim::Fault>("fault");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("none") << sim::Fault::None << DefaultReply;
    QTest::newRow("one byte") << sim::Fault::OneByte << QByteArray("\x06");
    QTest::newRow("wrong first byte") << sim::Fault::WrongFirstByte << QByteArray("\x15\x03");
    QTest::newRow("garbled") << sim::Fault::Garbled << QByteArray("\x13\x55\xAA\x41");
}

void TestReaderBus::faultyReplies()
{
    QFETCH(sim::Fault, fault);
    QFETCH(QByteArray, expected);
    sim::ReaderBus bus;
    bus.addReader(reader(12, fault));
    PcSide pc(bus.slavePath());

    QVERIFY(pc.write(ack() + pollFrame(12)));
    // Wait out the whole window so an extra trailing byte would be seen too.
    QCOMPARE(pc.readFor(300), expected);
}

void TestReaderBus::lateReplyComesAfterQuarterSecond()
{
    sim::Reader r = reader(7, sim::Fault::Late);
    r.reply = QByteArray("\x02LATE\x03");
    sim::ReaderBus bus;
    bus.addReader(r);
    PcSide pc(bus.slavePath());

    QElapsedTimer clock;
    clock.start();
    QVERIFY(pc.write(ack() + pollFrame(7)));
    QCOMPARE(pc.readFor(200), QByteArray());
    QCOMPARE(pc.read(r.reply.size(), 2000), r.reply);
    QVERIFY(clock.elapsed() >= 240);

    const QList<sim::TraceEntry> trace = bus.trace();
    QVERIFY(firstTime(trace, sim::TraceEntry::ToProgram) -
                lastTime(trace, sim::TraceEntry::FromProgram) >=
            250'000'000);
}

void TestReaderBus::programHearsMoreThanReplies_data()
{
    const QByteArray poll = ack() + pollFrame(5);
    QTest::addColumn<sim::Echo>("echo");
    QTest::addColumn<int>("otherMasterMs");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("heard");
    QTest::newRow("exact echo") << sim::Echo::Exact << 0 << poll << poll + DefaultReply;
    QTest::newRow("changed echo") << sim::Echo::Changed << 0 << poll
                                  << QByteArray("\x06\x85\x42\x3F\x03") + DefaultReply;
    // Readers 5 and 9 in turn, then 5 again, each answering before the next poll.
    QTest::newRow("other master") << sim::Echo::Off << 60 << QByteArray()
                                  << poll + DefaultReply + ack() + pollFrame(9) + DefaultReply +
                                         poll + DefaultReply;
}

void TestReaderBus::programHearsMoreThanReplies()
{
    QFETCH(sim::Echo, echo);
    QFETCH(int, otherMasterMs);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, heard);
    sim::ReaderBus bus;
    bus.addReader(reader(5));
    bus.addReader(reader(9));
    bus.setEcho(echo);
    PcSide pc(bus.slavePath());

    const qint64 start = bus.elapsedNanoseconds();
    bus.setOtherMaster(std::chrono::milliseconds(otherMasterMs));
    QVERIFY(pc.write(written));
    QCOMPARE(pc.read(int(heard.size()), 1000), heard);
    QVERIFY(bus.sent().startsWith(heard));

    // The other master's turns come no sooner than its period allows.
    int turns = 0;
    for (const sim::TraceEntry &entry : bus.trace()) {
        if (otherMasterMs > 0 && entry.direction == sim::TraceEntry::ToProgram &&
            entry.byte == 0x06) {
            ++turns;
            QVERIFY(entry.nanoseconds >= start + turns * qint64(otherMasterMs) * 1'000'000);
        }
    }
}

void TestReaderBus::setAddressMovesReaderZero()
{
    sim::Reader fresh = reader(0);
    fresh.reply = QByteArray("\x02NEW\x03");
    sim::ReaderBus bus;
    bus.addReader(fresh);
    bus.addReader(reader(3));
    PcSide pc(bus.slavePath());

    const QByteArray command = ack() + setAddressFrame("007");
    QVERIFY(pc.write(command));
    QVERIFY(bus.waitForReceived(command.size(), 2000));
    QCOMPARE(bus.readerAddresses(), QList<int>({3, 7}));

    QVERIFY(pc.write(ack() + pollFrame(7)));
    QCOMPARE(pc.read(fresh.reply.size(), 2000), fresh.reply); // kept its own reply
    QVERIFY(pc.write(ack() + pollFrame(0)));
    QCOMPARE(pc.readFor(300), QByteArray());
}

void TestReaderBus::setAddressLeavesOthersAlone_data()
{
    QTest::addColumn<int>("present");
    QTest::addColumn<QByteArray>("digits");
    QTest::newRow("no reader at 0") << 3 << QByteArray("009");
    QTest::newRow("out of range") << 0 << QByteArray("127");
    QTest::newRow("not digits") << 0 << QByteArray("1x2");
}

void TestReaderBus::setAddressLeavesOthersAlone()
{
    QFETCH(int, present);
    QFETCH(QByteArray, digits);
    sim::ReaderBus bus;
    bus.addReader(reader(present));
    PcSide pc(bus.slavePath());

    const QByteArray command = ack() + setAddressFrame(digits);
    QVERIFY(pc.write(command));
    QVERIFY(bus.waitForReceived(command.size(), 2000));
    QCOMPARE(bus.readerAddresses(), QList<int>({present}));
    QCOMPARE(pc.readFor(100), QByteArray());
}

void TestReaderBus::noiseAndAbandonedFramesIgnored()
{
    sim::ReaderBus bus;
    bus.addReader(reader(5));
    PcSide pc(bus.slavePath());

    // Noise, then a poll cut short by the next address byte, then a whole poll.
    const QByteArray traffic =
        QByteArray("\x41\x03\x02\x06", 4) + pollFrame(5).left(3) + ack() + pollFrame(5);
    QVERIFY(pc.write(traffic));
    QCOMPARE(pc.readFor(300), DefaultReply);
}

void TestReaderBus::repliesLeaveInDueOrder()
{
    sim::Reader slow = reader(1);
    slow.delay = 80ms;
    slow.reply = QByteArray("\x02SLOW\x03");
    sim::Reader quick = reader(2);
    quick.reply = QByteArray("\x02QUICK\x03");
    sim::ReaderBus bus;
    bus.addReader(slow);
    bus.addReader(quick);
    PcSide pc(bus.slavePath());

    QVERIFY(pc.write(pollFrame(1) + pollFrame(2)));
    const QByteArray expected = quick.reply + slow.reply;
    QCOMPARE(pc.read(expected.size(), 2000), expected);
}

void TestReaderBus::traceRecordsBothDirectionsInOrder()
{
    sim::ReaderBus bus;
    bus.addReader(reader(5));
    PcSide pc(bus.slavePath());

    const QByteArray request = ack() + pollFrame(5);
    QVERIFY(pc.write(request));
    QCOMPARE(pc.read(4, 2000), DefaultReply);

    const QList<sim::TraceEntry> trace = bus.trace();
    QCOMPARE(trace.size(), request.size() + DefaultReply.size());
    for (int i = 0; i < trace.size(); ++i) {
        const auto expectedDirection =
            i < request.size() ? sim::TraceEntry::FromProgram : sim::TraceEntry::ToProgram;
        QCOMPARE(trace[i].direction, expectedDirection);
        if (i > 0)
            QVERIFY(trace[i].nanoseconds >= trace[i - 1].nanoseconds);
    }
    QCOMPARE(bytesOf(trace, sim::TraceEntry::FromProgram), request);
    QCOMPARE(bytesOf(trace, sim::TraceEntry::ToProgram), DefaultReply);
    QVERIFY(trace.first().nanoseconds > 0);
    QVERIFY(trace.last().nanoseconds <= bus.elapsedNanoseconds());

    const QStringList lines = bus.formatTrace().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].endsWith(QLatin1String(" > 06 85 02 3F 03")), qPrintable(lines[0]));
    QVERIFY2(lines[1].endsWith(QLatin1String(" < 02 4F 4B 03")), qPrintable(lines[1]));

    QCOMPARE(bus.takeTrace().size(), trace.size());
    QVERIFY(bus.trace().isEmpty());
    QCOMPARE(bus.received(), request); // takeTrace leaves the byte logs alone
}

void TestReaderBus::receivedIsExactlyWhatWasWritten()
{
    sim::ReaderBus bus;
    PcSide pc(bus.slavePath());

    QByteArray everything;
    for (int round = 0; round < 3; ++round) {
        QByteArray chunk;
        for (int value = 0; value < 256; ++value)
            chunk.append(char((value * 7 + round) & 0xFF));
        QVERIFY(pc.write(chunk));
        everything += chunk;
    }
    QVERIFY(bus.waitForReceived(everything.size(), 2000));
    QCOMPARE(bus.received(), everything);
    QCOMPARE(bytesOf(bus.trace(), sim::TraceEntry::FromProgram), everything);
    QVERIFY(!bus.waitForReceived(everything.size() + 1, 100));

    bus.clearTrace();
    QVERIFY(bus.received().isEmpty());
    QVERIFY(bus.trace().isEmpty());
}

void TestReaderBus::injectedNoiseReachesProgram()
{
    sim::ReaderBus bus;
    PcSide pc(bus.slavePath());

    const QByteArray noise("\x11\x00\xFF\x22", 4);
    bus.injectNoise(noise);
    QCOMPARE(pc.read(noise.size(), 2000), noise);
    QCOMPARE(bus.sent(), noise);
    QCOMPARE(bytesOf(bus.trace(), sim::TraceEntry::ToProgram), noise);
}

void TestReaderBus::readersCanBeReplacedAndRemoved()
{
    sim::ReaderBus bus;
    bus.addReader(reader(9));
    bus.addReader(reader(2));
    bus.addReader(reader(126));
    bus.addReader(reader(127)); // not a valid address
    bus.addReader(reader(-1));
    QCOMPARE(bus.readerAddresses(), QList<int>({2, 9, 126}));

    sim::Reader replacement = reader(9);
    replacement.reply = QByteArray("\x02V2\x03");
    bus.addReader(replacement);
    QCOMPARE(bus.readerAddresses(), QList<int>({2, 9, 126}));

    PcSide pc(bus.slavePath());
    QVERIFY(pc.write(ack() + pollFrame(9)));
    QCOMPARE(pc.readFor(300), replacement.reply);

    bus.removeReader(9);
    QCOMPARE(bus.readerAddresses(), QList<int>({2, 126}));
    QVERIFY(pc.write(ack() + pollFrame(9)));
    QCOMPARE(pc.readFor(300), QByteArray());
}

void TestReaderBus::programMayCloseAndReopen()
{
    sim::ReaderBus bus;
    bus.addReader(reader(4));
    {
        PcSide first(bus.slavePath());
        QVERIFY(first.write(ack() + pollFrame(4)));
        QCOMPARE(first.read(4, 2000), DefaultReply);
    }
    QThread::msleep(100);
    QVERIFY(bus.isValid());

    PcSide second(bus.slavePath());
    QVERIFY(second.isOpen());
    QVERIFY(second.write(ack() + pollFrame(4)));
    QCOMPARE(second.read(4, 2000), DefaultReply);
    QVERIFY(!second.hungUp());
}

void TestReaderBus::lineSettingsVisibleThroughSlaveFd()
{
    sim::ReaderBus bus;
    PcSide pc(bus.slavePath());
    termios settings{};
    QCOMPARE(::tcgetattr(pc.fd(), &settings), 0);
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    // Not parity or character size: the Linux pty driver forces CS8 and clears PARENB.
    settings.c_cflag |= CSTOPB | CRTSCTS;
    QCOMPARE(::tcsetattr(pc.fd(), TCSANOW, &settings), 0);

    termios seen{};
    QCOMPARE(::tcgetattr(bus.slaveFd(), &seen), 0);
    QCOMPARE(::cfgetospeed(&seen), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&seen), speed_t(B9600));
    QVERIFY(seen.c_cflag & CSTOPB);
    QVERIFY(seen.c_cflag & CRTSCTS);
}

void TestReaderBus::babblingFloodsAndStops()
{
    sim::ReaderBus bus;
    PcSide pc(bus.slavePath());

    bus.setBabbling(true);
    const QByteArray flood = pc.readFor(300);
    QVERIFY2(flood.size() > 10'000, qPrintable(QString::number(flood.size())));
    QCOMPARE(flood.count('\x55'), flood.size());
    QVERIFY(bus.babbleBytesSent() >= flood.size());
    QVERIFY(bus.trace().isEmpty()); // babble is counted, not traced
    QVERIFY(bus.sent().isEmpty());

    bus.setBabbling(false);
    pc.drain(100);
    const qint64 total = bus.babbleBytesSent();
    QCOMPARE(pc.readFor(200), QByteArray());
    QCOMPARE(bus.babbleBytesSent(), total);
}

void TestReaderBus::workerIdlesWithoutSpinning_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("idle line") << "idle";
    QTest::newRow("babbling into a full line") << "babble-unread";
    QTest::newRow("program closed the port") << "closed";
    QTest::newRow("unplugged") << "unplugged";
}

void TestReaderBus::workerIdlesWithoutSpinning()
{
    QFETCH(QString, situation);
    sim::ReaderBus bus;
    bus.addReader(reader(5));
    auto pc = std::make_unique<PcSide>(bus.slavePath());
    QVERIFY(pc->write(ack() + pollFrame(5)));
    QCOMPARE(pc->read(4, 2000), DefaultReply);

    if (situation == QLatin1String("babble-unread")) {
        bus.setBabbling(true);
        QTRY_VERIFY(bus.babbleBytesSent() > 0);
    } else if (situation == QLatin1String("closed")) {
        pc.reset();
    } else if (situation == QLatin1String("unplugged")) {
        bus.unplug();
    }
    QThread::msleep(100); // let the line settle (e.g. the babble fill the buffer)

    const qint64 before = cpuMicroseconds();
    QThread::msleep(500);
    const qint64 used = cpuMicroseconds() - before;
    QVERIFY2(used < 100'000, qPrintable(QStringLiteral("%1 us of CPU").arg(used)));
}

void TestReaderBus::unplugHangsUpProgram()
{
    sim::ReaderBus bus;
    bus.addReader(reader(5));
    PcSide pc(bus.slavePath());
    QVERIFY(pc.write(ack() + pollFrame(5)));
    QCOMPARE(pc.read(4, 2000), DefaultReply);

    bus.unplug();
    QVERIFY(!bus.isValid());
    QCOMPARE(bus.slaveFd(), -1);

    pollfd p{pc.fd(), POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 1000), 1);
    QVERIFY(p.revents & (POLLHUP | POLLERR));
    char byte = 0;
    const ssize_t got = ::read(pc.fd(), &byte, 1);
    QVERIFY(got == 0 || (got < 0 && errno == EIO));
    QCOMPARE(::write(pc.fd(), "\x06", 1), ssize_t(-1));
    QCOMPARE(errno, EIO);
}

void TestReaderBus::publishesAndRemovesLink()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttyFAKE0"));
    // A link left behind by an earlier run that was killed.
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), link));

    {
        sim::ReaderBus bus;
        bus.addReader(reader(6));
        QVERIFY(bus.publishAt(link));
        QCOMPARE(QFile::symLinkTarget(link), bus.slavePath());

        PcSide pc(link);
        QVERIFY(pc.isOpen());
        QVERIFY(pc.write(ack() + pollFrame(6)));
        QCOMPARE(pc.read(4, 2000), DefaultReply);
    }
    struct stat info = {};
    QCOMPARE(::lstat(QFile::encodeName(link).constData(), &info), -1);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList());
}

void TestReaderBus::refusesToReplaceRegularFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("precious"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep me");
    file.close();

    sim::ReaderBus bus;
    QVERIFY(!bus.publishAt(path));
    QVERIFY(QFile::symLinkTarget(path).isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me"));
}

QTEST_GUILESS_MAIN(TestReaderBus)
#include "tst_readerbus.moc"
