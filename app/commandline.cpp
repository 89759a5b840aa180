#include "app/commandline.h"

#include "commands/addressassignment.h"
#include "commands/addressentry.h"
#include "line/lineaddress.h"
#include "line/portmap.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

const QString ProgramName = QStringLiteral("rollcall");

CommandLine refusal(const QString &problem)
{
    CommandLine result;
    result.action = CommandLine::Action::Refuse;
    result.text = ProgramName + QStringLiteral(": ") + problem;
    return result;
}

// Qt words its parse errors as sentences ("Unknown option 'x'."); a Unix tool's error
// line reads "rollcall: unknown option 'x'".
QString asErrorLine(QString qtError)
{
    if (qtError.endsWith(QLatin1Char('.')))
        qtError.chop(1);
    if (!qtError.isEmpty())
        qtError[0] = qtError.at(0).toLower();
    return qtError;
}

// Checks one "N=DEVICE" and enters it; an empty result means it was taken.
QString takeComOption(const QString &value, PortMap &ports)
{
    const QString given = QStringLiteral("--com ") + value + QStringLiteral(": ");
    const qsizetype equals = value.indexOf(QLatin1Char('='));
    if (equals < 0)
        return given + CommandLine::tr("expected N=DEVICE, for example --com 1=%1")
                           .arg(PortMap::exampleAdapter());
    bool isNumber = false;
    const int port = value.left(equals).toInt(&isNumber);
    if (!isNumber)
        return given + CommandLine::tr("the port must be a number from 1 to 5");
    if (port < PortMap::FirstPort || port > PortMap::LastPort)
        return given + CommandLine::tr("the port must be 1 to 5");
    const QString device = value.mid(equals + 1);
    if (device.isEmpty())
        return given + CommandLine::tr("the device is missing");
    QString malformed;
    if (!LineAddress::parse(device, &malformed))
        return given + malformed;
    ports.setDevice(port, device);
    return QString();
}

// Checks "A-B"; an empty result means it was taken.
QString takeAddresses(const QString &value, CommandLine &line)
{
    static const QRegularExpression range(QStringLiteral("^(\\d{1,3})-(\\d{1,3})$"));
    const QRegularExpressionMatch match = range.match(value);
    const QString given = QStringLiteral("--addresses ") + value + QStringLiteral(": ");
    if (!match.hasMatch())
        return given + CommandLine::tr("expected A-B, for example --addresses 0-126");
    const int first = match.captured(1).toInt();
    const int last = match.captured(2).toInt();
    if (last > frames::LastAddress)
        return given + CommandLine::tr("both ends must lie in 0..126");
    if (first > last)
        return given + CommandLine::tr("the first address must not be above the last");
    line.firstAddress = first;
    line.lastAddress = last;
    return QString();
}

// Checks "9600", "19200" or a list of both; an empty result means it was taken.
QString takeBauds(const QString &value, CommandLine &line)
{
    const QString given = QStringLiteral("--baud ") + value + QStringLiteral(": ");
    QList<int> bauds;
    for (const QString &baud : value.split(QLatin1Char(','))) {
        if (baud != QLatin1String("9600") && baud != QLatin1String("19200"))
            return given + CommandLine::tr("the speed must be 9600 or 19200");
        if (bauds.contains(baud.toInt()))
            return given + CommandLine::tr("each speed once");
        bauds << baud.toInt();
    }
    if (bauds.size() > 1 && line.action != CommandLine::Action::Scan)
        return given + CommandLine::tr("only scan goes through several speeds");
    line.bauds = bauds;
    return QString();
}

QString takeWindow(const QString &value, CommandLine &line)
{
    bool isNumber = false;
    const int ms = value.toInt(&isNumber);
    if (!isNumber || ms < 10 || ms > 1000)
        return CommandLine::tr("--window %1: the reply window must be 10 to 1000 ms").arg(value);
    line.windowMs = ms;
    return QString();
}

// Checks --compare FILE against the rest of the command line; the file itself is read by
// the scan, before it opens the port. An empty result means it was taken.
QString takeCompare(const QString &file, CommandLine &line)
{
    if (line.action != CommandLine::Action::Scan)
        return CommandLine::tr("--compare is for scan");
    if (file.isEmpty())
        return CommandLine::tr("--compare: the file is missing, for example --compare site.json");
    // The earlier document is a scan at one speed; each speed of this one would be
    // compared with it and every reader at the other speed called new or missing.
    if (line.bauds.size() > 1)
        return CommandLine::tr("--compare takes a scan at one speed, as the earlier file holds");
    line.compareWith = file;
    return QString();
}

// Takes "scan", "watch", "check" or "assign NEW" with NEW judged as the window's entry field
// judges it; an empty result means the words were taken.
QString takeCommand(QStringList words, CommandLine &line)
{
    const QString command = words.isEmpty() ? QString() : words.takeFirst();
    if (command == QLatin1String("scan")) {
        line.action = CommandLine::Action::Scan;
        line.kind = TerminalCommand::Kind::Scan;
    } else if (command == QLatin1String("watch")) {
        line.action = CommandLine::Action::Watch;
        line.kind = TerminalCommand::Kind::Watch;
    } else if (command == QLatin1String("check")) {
        line.action = CommandLine::Action::Check;
        line.kind = TerminalCommand::Kind::Check;
    } else if (command == QLatin1String("assign")) {
        line.action = CommandLine::Action::Assign;
        line.kind = TerminalCommand::Kind::Assign;
        if (words.isEmpty())
            return CommandLine::tr("assign: the new address is missing, for example: rollcall "
                                   "assign 7");
        const QString entered = words.takeFirst();
        const AddressEntry entry = AddressEntry::check(entered);
        if (entry.verdict != AddressEntry::Verdict::Valid)
            return AddressAssignment::invalidText() +
                   CommandLine::tr(" \"%1\": a whole number from 1 to 126").arg(entered);
        line.newAddress = entry.address;
    } else if (command == QLatin1String("commission")) {
        line.action = CommandLine::Action::Commission;
        line.kind = TerminalCommand::Kind::Commission;
    } else if (!command.isEmpty()) {
        return CommandLine::tr("unknown command \"%1\"; the commands are scan, watch, assign, "
                               "check and commission")
            .arg(command);
    }
    if (!words.isEmpty())
        return CommandLine::tr("unexpected argument \"%1\"").arg(words.constFirst());
    return QString();
}

struct TerminalOptions
{
    const QCommandLineOption &port;
    const QCommandLineOption &baud;
    const QCommandLineOption &addresses;
    const QCommandLineOption &json;
    const QCommandLineOption &window;
    const QCommandLineOption &from;
    const QCommandLineOption &to;
};

// The addresses a commissioning run gives, from --from up to --to, each judged as an
// assignment judges its new address.
QString takeCommissionRange(const QCommandLineParser &parser, const TerminalOptions &options,
                            CommandLine &line)
{
    const bool commission = line.action == CommandLine::Action::Commission;
    for (const QCommandLineOption *option : {&options.from, &options.to}) {
        if (!commission && parser.isSet(*option))
            return CommandLine::tr("--%1 is for commission").arg(option->names().constFirst());
    }
    if (!commission)
        return QString();
    if (!parser.isSet(options.from))
        return CommandLine::tr("commission: --from N is required, for example --from 10");
    line.lastAddress = frames::LastAddress;
    for (const QCommandLineOption *option : {&options.from, &options.to}) {
        if (!parser.isSet(*option))
            continue;
        const QString value = parser.value(*option);
        const AddressEntry entry = AddressEntry::check(value);
        if (entry.verdict != AddressEntry::Verdict::Valid)
            return CommandLine::tr("--%1 %2: a whole number from 1 to 126")
                .arg(option->names().constFirst(), value);
        (option == &options.from ? line.firstAddress : line.lastAddress) = entry.address;
    }
    if (line.lastAddress < line.firstAddress)
        return CommandLine::tr("--to %1: the last address must not be below --from %2")
            .arg(parser.value(options.to), parser.value(options.from));
    return QString();
}

// The options of one command are refused for another, rather than ignored.
QString optionForAnotherCommand(const QCommandLineParser &parser, const TerminalOptions &options,
                                const CommandLine &line)
{
    using Action = CommandLine::Action;
    const bool terminal = line.action != Action::Run;
    const bool polls = line.action == Action::Scan || line.action == Action::Watch;
    if (!terminal && parser.isSet(options.port))
        return CommandLine::tr("--port is for scan, watch, assign, check and commission");
    if ((!terminal || line.action == Action::Check) && parser.isSet(options.baud))
        return CommandLine::tr("--baud is for scan, watch, assign and commission; check polls "
                               "both speeds");
    // A short window could call an address free that a slow reader holds, and two
    // readers would then share it: an assignment always waits the full 200 ms.
    if ((line.action == Action::Assign || line.action == Action::Commission) &&
        parser.isSet(options.window))
        return CommandLine::tr("--window is for scan and watch; %1 always waits 200 ms for a "
                               "reply")
            .arg(parser.positionalArguments().constFirst());
    for (const QCommandLineOption *option : {&options.addresses, &options.window}) {
        if (!polls && parser.isSet(*option))
            return CommandLine::tr("--%1 is for scan and watch").arg(option->names().constFirst());
    }
    if (!polls && line.action != Action::Check && line.action != Action::Commission &&
        parser.isSet(options.json))
        return CommandLine::tr("--json is for scan, watch, check and commission");
    if (line.action == Action::Watch && !parser.isSet(options.addresses))
        return CommandLine::tr("watch: --addresses A-B is required, for example --addresses 1-10");
    return QString();
}

QString takeTerminalOptions(const QCommandLineParser &parser, const TerminalOptions &options,
                            CommandLine &line)
{
    if (QString refused = optionForAnotherCommand(parser, options, line); !refused.isEmpty())
        return refused;
    if (parser.isSet(options.port)) {
        bool isNumber = false;
        line.port = parser.value(options.port).toInt(&isNumber);
        if (!isNumber || line.port < PortMap::FirstPort || line.port > PortMap::LastPort)
            return CommandLine::tr("--port %1: the port must be 1 to 5")
                .arg(parser.value(options.port));
    }
    QString problem;
    if (parser.isSet(options.baud))
        problem = takeBauds(parser.value(options.baud), line);
    if (problem.isEmpty() && parser.isSet(options.window))
        problem = takeWindow(parser.value(options.window), line);
    line.json = parser.isSet(options.json);
    if (problem.isEmpty() && parser.isSet(options.addresses))
        problem = takeAddresses(parser.value(options.addresses), line);
    if (problem.isEmpty())
        problem = takeCommissionRange(parser, options, line);
    return problem;
}

// What asks a program to end, as the exit status 143 stands for.
QString stopByRequestName()
{
#ifdef Q_OS_WIN
    return CommandLine::tr("the console closed");
#else
    return QStringLiteral("SIGTERM");
#endif
}

// What a check of a line with a garbled reader prints, as the check words it.
QString checkExample()
{
    return CommandLine::tr(
        "    line          ok       quiet: nothing heard but rollcall's own polls and the "
        "readers' replies\n"
        "    echo          ok       the adapter does not echo\n"
        "    speed         ok       readers answer at 9600 baud: 005, 012; none at 19200 baud\n"
        "    replies       PROBLEM  bytes that no reader sends: 040 at 9600 baud answered 13 55 "
        "AA 41, again when polled alone; two readers on one address, a reader that garbles its "
        "reply, or noise\n"
        "    reply time    ok       fastest Address 005 at 9600 baud, first byte 8.4 ms; slowest "
        "Address 012 at 9600 baud, first byte 11.3 ms\n"
        "    adapter delay -        not shown: the adapter does not echo\n"
        "    This line has a problem: replies");
}

QString helpExamples()
{
    return CommandLine::tr(R"(
From a terminal:
  The commands need no display: over SSH, on a panel PC, in a shell loop.
  Each reader found is printed as it answers, then the result:

    $ ssh cabinet-pi rollcall scan --com 1=%1
    Address 005
    Address 012
    There are 2 readers online

  Commissioning a site: connect the new readers one at a time, each at address 0, and
  each gets the next free address from --from up; the terminal bell rings for each:

    $ rollcall commission --from 10
    Connect the next reader (waiting at 000)
    000 → 010: done (1 so far)
    Connect the next reader (waiting at 000)
    011 is taken: skipped
    000 → 012: done (2 so far)
    Connect the next reader (waiting at 000)
    ^C
    2 readers given 010, 012

  While nothing answers there, 000 is polled once a second, so the bus stays free. Two
  readers at 000 at once get nothing until one answers alone; a reader that does not
  take its address gets a second frame, then is named. Every window is 200 ms. With
  --json, one line per step and the summary as the last line.

  Why is reader 12 not listed? Trace the line:

    $ rollcall scan --com 1=%1 --addresses 12-12 --trace
    rollcall.bus.trace: 12.585 ms port opened: %1 at 9600,N,8,1
    rollcall.bus.trace: 12.730 ms write 06
    rollcall.bus.trace: 12.845 ms write 8C 02 3F 03
    rollcall.bus.trace: 213.199 ms reply window of 012 over: 2 waiting, 15 03: first byte not STX or ACK, not listed
    rollcall.bus.trace: 214.009 ms port closed
    There are no readers online

  The verdicts: reader; one byte, not enough; first byte not STX or ACK, not listed;
  nothing. A reader that answers too late shows as nothing; its answer is thrown away
  by the next poll or lands in the next address's window. "first byte at" is how long
  the reader took, from the poll handed to the system to its first byte.

  A shorter reply window makes a scan quicker (127 addresses times the window), but a
  reader slower than the window is missed. To choose it, scan once at 200 ms with
  --json and take at least three times the slowest "first_byte_ms" under "replies":

    $ rollcall scan --json
    {..., "replies": [{"address": 5, "first_byte_ms": 8.4, "bytes": 4, "listed": true}]}
    $ rollcall scan --window 30

  A reader set to the other speed is invisible; scan both in one go:

    $ rollcall scan --baud 9600,19200
    Address 005 at 9600 baud
    There are 1 readers online at 9600 baud
    Address 009 at 19200 baud
    There are 1 readers online at 19200 baud

  Has anything changed since the last visit? Keep the scan's JSON, compare later:

    $ rollcall scan --json > site.json
    $ rollcall scan --compare site.json
    Address 005
    Address 040
    There are 2 readers online
    New since then: 040
    Missing since then: 012

  With --json, "compared" holds "new" and "missing". The exit status is 0 when
  nothing changed and 4 when something did.

  Which reader drops out now and then? Watch a few addresses until Ctrl+C:

    $ rollcall watch --addresses 1-10 --window 30
    12:04:30.815 Address 005 online
    12:04:31.207 Address 005 gone
    12:04:31.538 Address 005 back
    ^C
    After 212 passes:
    Address 005: 212 polls, 211 answers, 1 misses, longest run of misses 1, first byte 8.1 / 8.4 / 9.9 ms

  With --json, one line per change and the summary as the last line.

  What is wrong with this line? check listens, then polls every address at 9600 and
  at 19200 baud with a short window (polls only, never a new address), in about 10 s,
  and gives a row for each thing it looked at, with its evidence:

    $ rollcall check
%3

  A row is a PROBLEM when another master talks, when the echo of rollcall's own bytes
  comes back changed, when readers answer at both speeds or at neither, or when a window
  holds bytes that no reader sends. An adapter that echoes is a note: rollcall sets the
  echo aside. With --json, one document with the rows and what each speed found.

Exit status: 0 done, check found nothing wrong, nothing changed since the compared
scan, or commission gave an address before Ctrl+C; 1 the line failed (the port did not
open, or the adapter was lost) or another device polls it, and watch and commission
print their summary first, and a scan that stopped is not compared; 2 a wrong command
line, or a --compare file that cannot be compared, nothing opened; 3 the bus refused
(no reader at address 0, NEW already taken, or no free address left for commission); 4
scan --compare found readers new or missing since then; 5 check found a problem with
the line; 130 Ctrl+C; 143 %2 (watch and commission print their summary first).
)")
        .arg(PortMap::exampleAdapter(), stopByRequestName(), checkExample());
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        tr("Lists the readers on a serial multi-drop line and gives the reader at "
           "address 0 a new address.\n"
           "Without a command rollcall opens its window. \"scan\" lists the readers "
           "online, \"watch\" polls a few addresses over and over and tells when a "
           "reader goes or comes back, \"assign NEW\" gives the reader at address 0 the "
           "address NEW (1 to 126), \"check\" tells what is wrong with the line, "
           "\"commission\" gives new readers connected one after another their addresses; "
           "all five run in the terminal."));
    // Our own help option: the one from addHelpOption() also offers --help-all, whose
    // Qt options only a QApplication could list.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        tr("Show this help and exit."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           tr("Show the version and exit."));
    const QCommandLineOption comOption(
        QStringLiteral("com"),
        tr("Use DEVICE for the radio \"Com N\", N from 1 to 5; wins over ROLLCALL_COM<N>. "
           "Repeatable. DEVICE is a serial device, or a serial server on the network: "
           "rfc2217://HOST:PORT (telnet with the COM-PORT option; rollcall sets the speed) "
           "or socket://HOST:PORT (raw TCP; the server's speed). Without either, Com 1 to "
           "Com 5 are %1 to %2.")
            .arg(PortMap::builtInDevice(PortMap::FirstPort),
                 PortMap::builtInDevice(PortMap::LastPort)),
        QStringLiteral("N=DEVICE"));
    const QCommandLineOption traceOption(QStringLiteral("trace"),
                                         tr("Write the line's traffic to standard error: the port "
                                            "opened, closed or lost, every write in hex, and what "
                                            "waits at the end of each reply window, with "
                                            "when its first byte came."));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        tr("scan, watch, assign, check: the port \"Com N\", 1 to 5; default 1."),
        QStringLiteral("N"));
    const QCommandLineOption baudOption(
        QStringLiteral("baud"),
        tr("scan, watch, assign: 9600 or 19200, default 9600; always 8 data bits, no parity, "
           "1 stop bit. scan also takes 9600,19200: each speed in turn, and every line says "
           "its speed."),
        QStringLiteral("9600|19200"));
    const QCommandLineOption addressesOption(
        QStringLiteral("addresses"),
        tr("scan, watch: only the addresses A to B, in order, both in 0..126; default 0-126 "
           "for scan, required for watch."),
        QStringLiteral("A-B"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"),
        tr("scan: one JSON document on standard output at the end (one per speed), with each "
           "reply's first-byte time. watch: one JSON line per change, the summary last. check: "
           "one JSON document with the rows and what each speed found."));
    const QCommandLineOption windowOption(
        QStringLiteral("window"),
        tr("scan, watch: how long each reader has to answer, 10 to 1000 ms; default 200. "
           "Shorter is quicker, but a reader slower than the window is missed: take at "
           "least three times the slowest first_byte_ms a scan at 200 ms shows. assign "
           "always waits 200 ms."),
        QStringLiteral("MS"));
    const QCommandLineOption compareOption(
        QStringLiteral("compare"),
        tr("scan: compare with FILE, the JSON document an earlier \"rollcall scan --json\" "
           "wrote of the same addresses at one speed, and print the readers new and missing "
           "since then; exit status 4 when any. A FILE that cannot be compared is refused "
           "before the port opens; rollcall writes no file."),
        QStringLiteral("FILE"));
    const QCommandLineOption fromOption(
        QStringLiteral("from"),
        tr("commission: give the readers connected one after another at address 0 the free "
           "addresses from N up, 1 to 126; required."),
        QStringLiteral("N"));
    const QCommandLineOption toOption(QStringLiteral("to"),
                                      tr("commission: stop once M is given; default 126."),
                                      QStringLiteral("M"));
    parser.addOptions({helpOption, versionOption, comOption, traceOption, portOption, baudOption,
                       addressesOption, jsonOption, windowOption, compareOption, fromOption,
                       toOption});

    if (!parser.parse(arguments))
        return refusal(asErrorLine(parser.errorText()));

    if (parser.isSet(helpOption)) {
        CommandLine result;
        result.action = Action::ShowHelp;
        // Our own usage line: the parser would name the program by the running
        // application's first argument, or "<executable_name>" without one.
        result.text = tr("Usage: %1 [options]\n"
                         "       %1 scan [--port N] [--baud 9600|19200|9600,19200] "
                         "[--addresses A-B] [--window MS] [--json] [--compare FILE] "
                         "[options]\n"
                         "       %1 watch --addresses A-B [--port N] [--baud 9600|19200] "
                         "[--window MS] [--json] [options]\n"
                         "       %1 assign NEW [--port N] [--baud 9600|19200] [options]\n"
                         "       %1 check [--port N] [--json] [options]\n"
                         "       %1 commission --from N [--to M] [--port N] "
                         "[--baud 9600|19200] [--json] [options]")
                          .arg(ProgramName) +
                      QLatin1Char('\n') + parser.helpText().section(QLatin1Char('\n'), 1) +
                      helpExamples();
        return result;
    }
    if (parser.isSet(versionOption)) {
        CommandLine result;
        result.action = Action::ShowVersion;
        result.text =
            ProgramName + QLatin1Char(' ') + QStringLiteral(ROLLCALL_VERSION) + QLatin1Char('\n');
        return result;
    }
    CommandLine result;
    QString problem = takeCommand(parser.positionalArguments(), result);
    for (const QString &value : parser.values(comOption)) {
        if (problem.isEmpty())
            problem = takeComOption(value, result.ports);
    }
    if (problem.isEmpty())
        problem = takeTerminalOptions(parser,
                                      {portOption, baudOption, addressesOption, jsonOption,
                                       windowOption, fromOption, toOption},
                                      result);
    // After --baud, which it is checked against.
    if (problem.isEmpty() && parser.isSet(compareOption))
        problem = takeCompare(parser.value(compareOption), result);
    if (!problem.isEmpty())
        return refusal(problem);
    result.trace = parser.isSet(traceOption);
    return result;
}
