// Measures the real rollcall program on a simulated reader line: start-up, a full scan at
// both speeds, an address assignment, CPU and memory; then "rollcall scan" from a
// terminal, with and without the line trace, at shorter reply windows, and a long
// "rollcall watch". Prints one table; asserts nothing.
//   rollcall-bench [--watch-seconds N]   (the watch lasts 60 s unless told otherwise)

#include "bus/frames.h"
#include "sim/readerbus.h"
#include "tests/support/realprogram.h"
#include "tests/support/simulatedline.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

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
        if (inFrame)
            ++inFrame;
        if (inFrame == 4 && e.byte == quint8(frames::ETX)) {
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

// One "rollcall scan" from a terminal, waited for with wait4(): its whole wall time, start
// to exit, and its CPU time and peak memory as the kernel counted them.
struct TerminalScan
{
    bool exited = false;
    int exitCode = -1;
    double wallMs = 0;
    double cpuMs = 0;
    qint64 peakRssKiB = 0;
    double firstPollMs = -1;         // process start to the first byte on the line
    qint64 widgetsAndGuiRssKiB = -1; // resident pages of libQt6Widgets and libQt6Gui
    QString errorOutput;
};

// Resident kB of the mappings of the libraries whose file names contain `names`.
qint64 residentIn(qint64 pid, const QStringList &names)
{
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (!smaps.open(QIODevice::ReadOnly))
        return -1;
    qint64 kib = 0;
    bool counting = false;
    const QRegularExpression header(QStringLiteral("^[0-9a-f]+-[0-9a-f]+ "));
    for (const QByteArray &raw : smaps.readAll().split('\n')) {
        const QString line = QString::fromLatin1(raw);
        if (header.match(line).hasMatch())
            counting = std::any_of(names.begin(), names.end(),
                                   [&line](const QString &name) { return line.contains(name); });
        else if (counting && line.startsWith(QLatin1String("Rss:")))
            kib += line.section(QLatin1Char(' '), 1, 1, QString::SectionSkipEmpty).toLongLong();
    }
    return kib;
}

TerminalScan runTerminalScan(const QString &device, sim::ReaderBus &bus, bool traced)
{
    TerminalScan run;
    const QTemporaryDir dir;
    const QByteArray errorPath = dir.filePath(QStringLiteral("stderr")).toLocal8Bit();
    QList<QByteArray> arguments{QByteArrayLiteral(ROLLCALL_PROGRAM), "scan", "--com",
                                "1=" + device.toLocal8Bit()};
    if (traced)
        arguments << "--trace";
    // No display at all, as over SSH; the program logs each reply window it measures.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                       QStringLiteral("rollcall.bus.window.debug=true"));
    QList<QByteArray> variables;
    for (const QString &variable : environment.toStringList())
        variables << variable.toLocal8Bit();
    std::vector<char *> argv;
    std::vector<char *> envp;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (QByteArray &variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, errorPath.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    bus.clearTrace();
    const qint64 spawnedNs = bus.elapsedNanoseconds();
    QElapsedTimer wall;
    wall.start();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0)
        return run;
    // Midway through the scan, what the window's libraries cost it.
    QThread::msleep(2000);
    run.widgetsAndGuiRssKiB =
        residentIn(pid, {QStringLiteral("libQt6Widgets"), QStringLiteral("libQt6Gui")});
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wallMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    run.exited = WIFEXITED(status);
    run.exitCode = run.exited ? WEXITSTATUS(status) : -1;
    run.cpuMs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    run.peakRssKiB = usage.ru_maxrss;
    const QList<sim::TraceEntry> line = bus.trace();
    if (!line.isEmpty())
        run.firstPollMs = static_cast<double>(line.first().nanoseconds - spawnedNs) / 1e6;
    QFile errors(QString::fromLocal8Bit(errorPath));
    if (errors.open(QIODevice::ReadOnly))
        run.errorOutput = QString::fromLocal8Bit(errors.readAll());
    return run;
}

// The terminal program with no display, as over SSH, logging what `rules` turn on.
void startTerminal(QProcess &process, const QStringList &arguments, const QString &rules)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(ROLLCALL_PROGRAM), arguments);
}

// "rollcall scan --window MS" as the program logs it: the whole scan, and the part of it
// spent polling readers alone (those found, and the suspects of a late reply).
struct WindowScan
{
    double tookMs = 0;
    double aloneMs = 0;
    int alonePolls = 0;
    int readers = 0;
};

std::optional<WindowScan> scanAtWindow(const QString &device, int windowMs)
{
    QProcess scan;
    startTerminal(scan,
                  {QStringLiteral("scan"), QStringLiteral("--com"), QStringLiteral("1=") + device,
                   QStringLiteral("--window"), QString::number(windowMs)},
                  QStringLiteral("rollcall.commands.debug=true"));
    if (!scan.waitForFinished(60'000) || scan.exitCode() != 0)
        return std::nullopt;
    const QRegularExpressionMatch logged =
        QRegularExpression(QStringLiteral("scan of 127 addresses took (\\d+) ms, (\\d+) readers "
                                          "listed; (\\d+) ms of it polling (\\d+) alone"))
            .match(QString::fromLocal8Bit(scan.readAllStandardError()));
    if (!logged.hasMatch())
        return std::nullopt;
    return WindowScan{logged.captured(1).toDouble(), logged.captured(3).toDouble(),
                      logged.captured(4).toInt(), logged.captured(2).toInt()};
}

// "rollcall watch" of ten addresses at 20 ms for `seconds`, its cost sampled every 10 s.
struct WatchRun
{
    int passes = -1;
    double cpuStartPercent = 0; // over the first minute (or less of a shorter run)
    double cpuEndPercent = 0;   // over the last one
    qint64 rssStartKiB = 0;     // 10 s in
    qint64 rssEndKiB = 0;
};

WatchRun runWatch(const QString &device, int seconds)
{
    constexpr int SampleSeconds = 10;
    constexpr int SamplesPerMinute = 60 / SampleSeconds;
    WatchRun run;
    QProcess watch;
    startTerminal(watch,
                  {QStringLiteral("watch"), QStringLiteral("--com"), QStringLiteral("1=") + device,
                   QStringLiteral("--addresses"), QStringLiteral("0-9"), QStringLiteral("--window"),
                   QStringLiteral("20"), QStringLiteral("--json")},
                  QString());
    if (!watch.waitForStarted())
        return run;
    QList<ProcessUsage> samples;
    for (int at = SampleSeconds; at <= std::max(seconds, SampleSeconds); at += SampleSeconds) {
        watch.waitForFinished(SampleSeconds * 1000); // sleeps, unless it ended
        samples << ProcessUsage::of(watch.processId());
    }
    ::kill(static_cast<pid_t>(watch.processId()), SIGINT);
    watch.waitForFinished(10'000);
    const QList<double> passes =
        captures(QString::fromLocal8Bit(watch.readAllStandardOutput()),
                 QStringLiteral("\"event\": \"summary\".*\"passes\": (\\d+)"));
    if (passes.isEmpty() || samples.size() < 2)
        return run;
    run.passes = static_cast<int>(passes.first());
    const auto span = std::min<qsizetype>(SamplesPerMinute, samples.size() - 1);
    auto percent = [&](qsizetype from) {
        return 100.0 *
               static_cast<double>(samples[from + span].cpuMilliseconds -
                                   samples[from].cpuMilliseconds) /
               (static_cast<double>(span) * SampleSeconds * 1000);
    };
    run.cpuStartPercent = percent(0);
    run.cpuEndPercent = percent(samples.size() - 1 - span);
    run.rssStartKiB = samples.first().rssKiB;
    run.rssEndKiB = samples.last().rssKiB;
    return run;
}

// One row per window; false when a scan did not finish.
// The 127 windows are held to their floor; the polls alone come on top.
bool printWindowRows(QTextStream &out,
                     const QList<std::pair<int, std::optional<WindowScan>>> &windowScans)
{
    bool done = true;
    for (const auto &[windowMs, scan] : windowScans) {
        const double floorMs = 127.0 * windowMs;
        done = done && scan;
        const double sweepMs = scan ? scan->tookMs - scan->aloneMs : 0;
        out << row(QStringLiteral("terminal scan --window %1: took; alone; rest / floor")
                       .arg(windowMs),
                   scan ? QStringLiteral("%1 s, %2 readers; %3 polls alone %4 s; "
                                         "%5 s / %6 s = %7")
                              .arg(scan->tookMs / 1000, 0, 'f', 3)
                              .arg(scan->readers)
                              .arg(scan->alonePolls)
                              .arg(scan->aloneMs / 1000, 0, 'f', 3)
                              .arg(sweepMs / 1000, 0, 'f', 3)
                              .arg(floorMs / 1000, 0, 'f', 3)
                              .arg(sweepMs / floorMs, 0, 'f', 4)
                        : QStringLiteral("did not finish"),
                   windowMs == 20 ? QStringLiteral("rest <= 1.03") : QStringLiteral("rest <= 1.01"))
            << '\n';
    }
    return done;
}

void printWatchRows(QTextStream &out, const WatchRun &watched, int seconds)
{
    // A pass polls ten addresses, 20 ms each.
    out << row(QStringLiteral("watch 0-9 at 20 ms for %1 s: passes").arg(seconds),
               QStringLiteral("%1 (floor %2)").arg(watched.passes).arg(seconds * 1000 / 200))
        << '\n';
    out << row(QStringLiteral("watch: CPU first / last minute"),
               QStringLiteral("%1 % / %2 % of a core")
                   .arg(watched.cpuStartPercent, 0, 'f', 2)
                   .arg(watched.cpuEndPercent, 0, 'f', 2),
               QStringLiteral("flat"))
        << '\n';
    out << row(QStringLiteral("watch: resident memory at 10 s / at the end"),
               QStringLiteral("%1 / %2 kB").arg(watched.rssStartKiB).arg(watched.rssEndKiB),
               QStringLiteral("flat"))
        << '\n';
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
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype watchOption = arguments.indexOf(QStringLiteral("--watch-seconds"));
    const int watchSeconds = watchOption > 0 ? arguments.value(watchOption + 1).toInt() : 60;
    if (watchSeconds < 10)
        return std::fprintf(stderr, "bench: --watch-seconds takes 10 or more\n"), 2;

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
    // Within 200 ms, but past a short window: its reply lands in a later address's.
    sim::Reader slow;
    slow.address = 77;
    slow.delay = std::chrono::milliseconds(60);
    bus.addReader(slow);

    RealProgram program(QStringLiteral(ROLLCALL_PROGRAM));
    program.mapPort(1, device);
    program.setEnvironment(QStringLiteral("QT_LOGGING_RULES"),
                           QStringLiteral("rollcall.*.debug=true;rollcall.bus.trace.debug=false"));
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

    // The same scan from a terminal, then once more with the line traced.
    const TerminalScan terminal = runTerminalScan(device, bus, false);
    const TerminalScan traced = runTerminalScan(device, bus, true);
    const QString windowPattern = QStringLiteral("address \\d{3} window (\\d+\\.\\d+) ms");
    const Spread untracedWindow = spreadOf(captures(terminal.errorOutput, windowPattern));
    const Spread tracedWindow = spreadOf(captures(traced.errorOutput, windowPattern));
    const bool terminalDone = terminal.exitCode == 0 && traced.exitCode == 0;

    // Shorter reply windows, one scan each, beside the floor of 127 windows.
    QList<std::pair<int, std::optional<WindowScan>>> windowScans;
    for (int windowMs : {200, 50, 20})
        windowScans.append({windowMs, scanAtWindow(device, windowMs)});
    const WatchRun watched = runWatch(device, watchSeconds);

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
    out << row(QStringLiteral("terminal scan, process start to exit"),
               QStringLiteral("%1 s (%2 s beside the window's scan)")
                   .arg(terminal.wallMs / 1000, 0, 'f', 3)
                   .arg((terminal.wallMs - *scanMs) / 1000, 0, 'f', 3),
               QStringLiteral("within 0.1 s of the window's"))
        << '\n';
    out << row(QStringLiteral("terminal: process start to first poll"),
               QStringLiteral("%1 s").arg(terminal.firstPollMs / 1000, 0, 'f', 3))
        << '\n';
    out << row(QStringLiteral("terminal CPU, start to exit"),
               QStringLiteral("%1 s (%2 % of a core)")
                   .arg(terminal.cpuMs / 1000, 0, 'f', 3)
                   .arg(100 * terminal.cpuMs / terminal.wallMs, 0, 'f', 2),
               QStringLiteral("<= 1 %"))
        << '\n';
    out << row(QStringLiteral("terminal peak resident memory"),
               QStringLiteral("%1 MB (window: %2 MB)")
                   .arg(static_cast<double>(terminal.peakRssKiB) / 1024.0, 0, 'f', 1)
                   .arg(static_cast<double>(atEnd.peakRssKiB) / 1024.0, 0, 'f', 1),
               QStringLiteral("well under the window's"))
        << '\n';
    out << row(QStringLiteral("terminal: resident in Qt Widgets and Gui"),
               QStringLiteral("%1 MB").arg(
                   static_cast<double>(terminal.widgetsAndGuiRssKiB) / 1024.0, 0, 'f', 1))
        << '\n';
    out << row(QStringLiteral("terminal reply window, trace off (%1)").arg(untracedWindow.count),
               ms(untracedWindow), QStringLiteral("200 .. 202 ms"))
        << '\n';
    out << row(QStringLiteral("terminal reply window, --trace (%1)").arg(tracedWindow.count),
               ms(tracedWindow), QStringLiteral("as with the trace off"))
        << '\n';
    out << row(QStringLiteral("terminal CPU with --trace"),
               QStringLiteral("%1 s, start to exit %2 s")
                   .arg(traced.cpuMs / 1000, 0, 'f', 3)
                   .arg(traced.wallMs / 1000, 0, 'f', 3))
        << '\n';
    const bool windowsDone = printWindowRows(out, windowScans);
    printWatchRows(out, watched, watchSeconds);
    out.flush();
    const bool done = assigned && fastScanMs && terminalDone && windowsDone;
    return done && watched.passes > 0 ? 0 : 1;
}
