// Measures the real rollcall program on a simulated reader line: start-up, a full scan at
// both speeds, an address assignment, CPU and memory. Prints one table; asserts nothing.

#include "bus/frames.h"
#include "sim/readerbus.h"
#include "tests/support/realprogram.h"
#include "tests/support/simulatedline.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr double FloorSeconds = 127 * 0.2;

struct Spread
{
    double min = 0, median = 0, max = 0;
    int count = 0;
};

Spread spreadOf(QList<double> values)
{
    Spread s;
    s.count = static_cast<int>(values.size());
    if (values.isEmpty())
        return s;
    std::sort(values.begin(), values.end());
    s.min = values.first();
    s.max = values.last();
    s.median = values[values.size() / 2];
    return s;
}

// Numbers captured by `pattern`'s first group on every line of the program's log.
QList<double> captures(const QString &log, const QString &pattern)
{
    QList<double> out;
    const QRegularExpression re(pattern);
    for (auto it = re.globalMatch(log); it.hasNext();)
        out << it.next().captured(1).toDouble();
    return out;
}

// The program logs each scan's duration when it ends; wait for the n-th such line.
std::optional<double> waitForScan(RealProgram &program, QString &log, int nth)
{
    const QDeadlineTimer deadline(60'000);
    while (!deadline.hasExpired()) {
        log += QString::fromLocal8Bit(program.takeErrorOutput());
        const QList<double> scans =
            captures(log, QStringLiteral("scan of 127 addresses took (\\d+) ms"));
        if (scans.size() >= nth)
            return scans[nth - 1];
        QThread::msleep(100);
    }
    return std::nullopt;
}

// From the last byte of each poll frame to the ACK that opens the next poll, as the
// simulated readers saw the line.
QList<double> pollGapsMs(const QList<sim::TraceEntry> &trace)
{
    QList<double> gaps;
    qint64 frameEnd = -1;
    int inFrame = 0;
    for (const sim::TraceEntry &e : trace) {
        if (e.direction != sim::TraceEntry::FromProgram)
            continue;
        if (e.byte >= 0x80) {
            inFrame = 1;
            continue;
        }
        if (inFrame && ++inFrame == 4 && e.byte == quint8(frames::ETX)) {
            frameEnd = e.nanoseconds;
            inFrame = 0;
            continue;
        }
        if (!inFrame && e.byte == quint8(frames::ACK) && frameEnd >= 0) {
            gaps << static_cast<double>(e.nanoseconds - frameEnd) / 1e6;
            frameEnd = -1;
        }
    }
    return gaps;
}

QString row(const QString &what, const QString &figure, const QString &target = QString())
{
    return QStringLiteral("| %1 | %2 | %3 |").arg(what, -44).arg(figure, -30).arg(target);
}

QString ms(const Spread &s)
{
    return QStringLiteral("%1 / %2 / %3 ms")
        .arg(s.min, 0, 'f', 3)
        .arg(s.median, 0, 'f', 3)
        .arg(s.max, 0, 'f', 3);
}

bool fail(const QString &what, const RealProgram &program)
{
    std::fprintf(stderr, "bench: %s: %s\n", qPrintable(what), program.why());
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    sim::ReaderBus bus;
    const QString device = publishUniquely(bus);
    for (int address : {0, 5, 42, 126}) {
        sim::Reader reader;
        reader.address = address;
        bus.addReader(reader);
    }
    sim::Reader odd;
    odd.address = 9;
    odd.fault = sim::Fault::WrongFirstByte;
    bus.addReader(odd);

    RealProgram program(QStringLiteral(ROLLCALL_PROGRAM));
    program.mapPort(1, device);
    program.setEnvironment(QStringLiteral("QT_LOGGING_RULES"),
                           QStringLiteral("rollcall.*.debug=true"));
    program.captureErrorOutput();

    const qint64 launchedAt = QDateTime::currentMSecsSinceEpoch();
    if (!program.start())
        return fail(QStringLiteral("start"), program), 1;
    QString log;
    const QDeadlineTimer shownDeadline(10'000);
    QList<double> shown;
    while (shown.isEmpty() && !shownDeadline.hasExpired()) {
        log += QString::fromLocal8Bit(program.takeErrorOutput());
        shown = captures(log, QStringLiteral("window shown at (\\d+) ms"));
        QThread::msleep(10);
    }
    const double startupMs = shown.isEmpty() ? -1 : shown.first() - static_cast<double>(launchedAt);
    QThread::msleep(500); // let start-up settle before counting CPU

    // A full scan at 9600.
    bus.clearTrace();
    const ProcessUsage beforeScan = program.usage();
    if (!program.click("Command2"))
        return fail(QStringLiteral("click Command2"), program), 1;
    const std::optional<double> scanMs = waitForScan(program, log, 1);
    const ProcessUsage afterScan = program.usage();
    if (!scanMs)
        return std::fprintf(stderr, "bench: the scan did not finish\n"), 1;
    const QList<double> windows =
        captures(log, QStringLiteral("address \\d{3} window (\\d+\\.\\d+) ms"));
    const Spread window = spreadOf(windows);
    const Spread gap = spreadOf(pollGapsMs(bus.trace()));
    const auto scanCpuMs =
        static_cast<double>(afterScan.cpuMilliseconds - beforeScan.cpuMilliseconds);

    // An address assignment: the reader at 0 becomes 7.
    if (!program.click("Command1"))
        return fail(QStringLiteral("click Command1"), program), 1;
    const quint32 input = program.waitForDialog(5000);
    if (input == 0 || !program.typeInto(input, QStringLiteral("7")) ||
        !program.pressKey(input, QStringLiteral("Return")))
        return fail(QStringLiteral("input dialog"), program), 1;
    const quint32 box = program.waitForDialog(5000, input);
    if (box == 0 || !program.pressKey(box, QStringLiteral("Return")))
        return fail(QStringLiteral("message box"), program), 1;
    const bool assigned = bus.readerAddresses().contains(7);

    // The same scan at 19200.
    if (!program.click("Option9") || !program.click("Command2"))
        return fail(QStringLiteral("scan at 19200"), program), 1;
    const std::optional<double> fastScanMs = waitForScan(program, log, 2);
    const ProcessUsage atEnd = program.usage();
    const QList<double> allWindows =
        captures(log, QStringLiteral("address \\d{3} window (\\d+\\.\\d+) ms"));
    const Spread fastWindow = spreadOf(allWindows.mid(windows.size()));

    program.requestClose();
    program.waitForExit(5000);

    out << "rollcall benchmark: real program, simulated readers on a pseudo-terminal\n\n";
    out << row(QStringLiteral("measure"), QStringLiteral("figure"), QStringLiteral("target"))
        << '\n';
    out << row(QStringLiteral("---"), QStringLiteral("---"), QStringLiteral("---")) << '\n';
    out << row(QStringLiteral("full scan, 127 addresses, 9600 baud"),
               QStringLiteral("%1 s (%2 x the 25.4 s floor)")
                   .arg(*scanMs / 1000, 0, 'f', 3)
                   .arg(*scanMs / 1000 / FloorSeconds, 0, 'f', 4),
               QStringLiteral("<= 25.5 s"))
        << '\n';
    out << row(QStringLiteral("reply window min / median / max (%1)").arg(window.count), ms(window),
               QStringLiteral("200 .. 202 ms"))
        << '\n';
    out << row(QStringLiteral("frame to next ACK min / median / max (%1)").arg(gap.count), ms(gap))
        << '\n';
    out << row(QStringLiteral("CPU during the scan"),
               QStringLiteral("%1 s (%2 % of a core)")
                   .arg(scanCpuMs / 1000, 0, 'f', 3)
                   .arg(100 * scanCpuMs / *scanMs, 0, 'f', 2),
               QStringLiteral("<= 1 %"))
        << '\n';
    out << row(QStringLiteral("peak resident memory (start, scans, assignment)"),
               QStringLiteral("%1 MB").arg(static_cast<double>(atEnd.peakRssKiB) / 1024.0, 0, 'f',
                                           1),
               QStringLiteral("<= 60 MB"))
        << '\n';
    out << row(QStringLiteral("process start to window shown"),
               QStringLiteral("%1 s").arg(startupMs / 1000, 0, 'f', 3), QStringLiteral("<= 0.5 s"))
        << '\n';
    out << row(QStringLiteral("full scan at 19200 baud"),
               fastScanMs ? QStringLiteral("%1 s").arg(*fastScanMs / 1000, 0, 'f', 3)
                          : QStringLiteral("did not finish"),
               QStringLiteral("<= 25.5 s"))
        << '\n';
    out << row(QStringLiteral("reply window at 19200 min / median / max"), ms(fastWindow),
               QStringLiteral("200 .. 202 ms"))
        << '\n';
    out << row(QStringLiteral("address assignment 0 -> 7"),
               assigned ? QStringLiteral("done") : QStringLiteral("FAILED"))
        << '\n';
    out.flush();
    return assigned && fastScanMs ? 0 : 1;
}
