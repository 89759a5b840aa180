// rollcall-sim: simulated readers on a pseudo-terminal, for trying out
// rollcall without hardware. Point rollcall at the printed slave path (or --link).

#include "sim/reader.h"
#include "sim/readerbus.h"
#include "sim/trace.h"
#include "system/stoprequest.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <optional>

namespace {

constexpr int TraceIntervalMs = 10;
constexpr int DrainIntervalMs = 1000;

void printLine(const QString &line)
{
    // Flushed per line: scripts and people watching a pipe need to see it now.
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "rollcall-sim: %s\n", message.toLocal8Bit().constData());
    return 2;
}

// The value of `option`, or 0 when it is not given; nothing when it is not a number above
// 0 (a whole one when `whole`).
std::optional<double> positiveValue(const QCommandLineParser &parser,
                                    const QCommandLineOption &option, bool whole)
{
    if (!parser.isSet(option))
        return 0.0;
    bool ok = false;
    const QString text = parser.value(option);
    const double value = whole ? text.toInt(&ok) : text.toDouble(&ok);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

// Every `seconds` (none when 0), a new reader at address 0 once the last has moved away.
void connectArrivals(QTimer &timer, sim::ReaderBus &bus, double seconds)
{
    QObject::connect(&timer, &QTimer::timeout, [&bus] {
        if (!bus.readerAddresses().contains(0))
            bus.addReader(sim::Reader{});
    });
    if (seconds > 0)
        timer.start(std::chrono::milliseconds(qRound64(seconds * 1000)));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rollcall-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ROLLCALL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulates readers on a multi-drop serial line, played on a "
                       "pseudo-terminal."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption readerOption(
        QStringLiteral("reader"),
        QStringLiteral("Add a reader at ADDR (0..126), optionally faulty: none, silent, "
                       "onebyte, late, wrongfirst, garbled; delay=MS answers after MS "
                       "(default 3); baud=9600|19200 hears only that speed (default: any); "
                       "reply=HEX answers those bytes (default 02 4F 4B 03); keeps ignores "
                       "a new address. Repeatable, e.g. 7:delay=60:baud=19200."),
        QStringLiteral("ADDR[:setting]..."));
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("Publish the line as a symlink at PATH."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption babbleOption(QStringLiteral("babble"),
                                          QStringLiteral("A device floods the line with garbage."));
    const QCommandLineOption echoOption(
        QStringLiteral("echo"),
        QStringLiteral("The adapter echoes: every byte the program sends comes straight "
                       "back to it, as on a 2-wire RS-485 adapter whose receiver hears "
                       "its own sending."));
    const QCommandLineOption otherMasterOption(
        QStringLiteral("other-master"),
        QStringLiteral("Another master polls the readers in turn every MS milliseconds, "
                       "whatever else is on the line."),
        QStringLiteral("MS"));
    const QCommandLineOption arrivalsOption(
        QStringLiteral("arrivals"),
        QStringLiteral("Every SECONDS seconds, when no reader is at address 0, a new one is "
                       "connected there, as a technician commissioning a site connects the "
                       "next: try \"rollcall commission\"."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption traceOption(QStringLiteral("trace"),
                                         QStringLiteral("Print the traffic in hex as it happens."));
    const QCommandLineOption durationOption(QStringLiteral("duration"),
                                            QStringLiteral("Exit after SECONDS (default: run until "
                                                           "interrupted)."),
                                            QStringLiteral("SECONDS"));
    parser.addOptions({readerOption, linkOption, babbleOption, echoOption, otherMasterOption,
                       arrivalsOption, traceOption, durationOption});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\"")
                              .arg(parser.positionalArguments().constFirst()));

    QList<sim::Reader> readers;
    for (const QString &value : parser.values(readerOption)) {
        QString error;
        const std::optional<sim::Reader> reader = sim::parseReaderOption(value, &error);
        if (!reader)
            return usageError(error);
        readers.append(*reader);
    }

    const std::optional<double> durationSeconds = positiveValue(parser, durationOption, false);
    if (!durationSeconds)
        return usageError(QStringLiteral("--duration needs a positive number of seconds"));
    const std::optional<double> arrivalSeconds = positiveValue(parser, arrivalsOption, false);
    if (!arrivalSeconds)
        return usageError(QStringLiteral("--arrivals needs a positive number of seconds"));
    const std::optional<double> otherMasterMs = positiveValue(parser, otherMasterOption, true);
    if (!otherMasterMs)
        return usageError(
            QStringLiteral("--other-master needs a positive whole number of milliseconds"));

    // Ends the loop, so the published link is removed on the way out.
    StopRequest stopRequest;
    QObject::connect(&stopRequest, &StopRequest::stopRequested, &app, &QCoreApplication::quit);

    sim::ReaderBus bus;
    if (!bus.isValid()) {
        std::fprintf(stderr, "rollcall-sim: cannot open a pseudo-terminal\n");
        return 1;
    }
    bus.setKeepsTraffic(false);
    for (const sim::Reader &reader : readers)
        bus.addReader(reader);
    if (parser.isSet(linkOption) && !bus.publishAt(parser.value(linkOption))) {
        std::fprintf(stderr, "rollcall-sim: cannot create link %s\n",
                     parser.value(linkOption).toLocal8Bit().constData());
        return 1;
    }
    bus.setBabbling(parser.isSet(babbleOption));
    bus.setEcho(parser.isSet(echoOption) ? sim::Echo::Exact : sim::Echo::Off);
    bus.setOtherMaster(std::chrono::milliseconds(qint64(*otherMasterMs)));

    printLine(QStringLiteral("slave: ") + bus.slavePath());
    if (parser.isSet(linkOption))
        printLine(QStringLiteral("link: ") + parser.value(linkOption));

    // The trace is drained even when not printed, so it cannot pile up.
    const bool tracing = parser.isSet(traceOption);
    sim::TraceFormatter formatter;
    auto drainTrace = [&](bool final) {
        const qint64 now = bus.elapsedNanoseconds();
        const QList<sim::TraceEntry> entries = bus.takeTrace();
        if (!tracing)
            return;
        for (const sim::TraceEntry &entry : entries)
            formatter.add(entry);
        if (final)
            formatter.closeBurst();
        else
            formatter.closeBurstIfQuiet(now);
        for (const QString &line : formatter.takeLines())
            printLine(line);
    };
    QTimer drainTimer;
    QObject::connect(&drainTimer, &QTimer::timeout, [&] { drainTrace(false); });
    drainTimer.start(tracing ? TraceIntervalMs : DrainIntervalMs);

    QTimer arrivals;
    connectArrivals(arrivals, bus, *arrivalSeconds);

    if (*durationSeconds > 0)
        QTimer::singleShot(qRound64(*durationSeconds * 1000), &app, &QCoreApplication::quit);

    const int status = QCoreApplication::exec();
    drainTrace(true);
    return status;
}
