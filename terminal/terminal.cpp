#include "terminal/terminal.h"

#include "bus/frames.h"
#include "bus/readerlink.h"
#include "commands/addressassignment.h"
#include "commands/busscan.h"
#include "commands/buswatch.h"
#include "commands/commissioning.h"
#include "commands/linecheck.h"
#include "commands/operatordialogs.h"
#include "line/line.h"
#include "line/lineaddress.h"
#include "line/linetrace.h"
#include "line/serialportlist.h"
#include "system/standardstream.h"
#include "system/stoprequest.h"
#include "terminal/checkreport.h"
#include "terminal/commissionreport.h"
#include "terminal/scancomparison.h"
#include "terminal/scanreport.h"
#include "terminal/watchreport.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <optional>
#include <set>

namespace {

void printLine(std::FILE *stream, const QString &text)
{
    StandardStream::print(stream, text + QLatin1Char('\n'));
}

// Progress is for a person watching, and not between the lines of a trace either.
bool showsProgress()
{
    return StandardStream::isTerminal(stderr) && !lcLineTrace().isDebugEnabled();
}

// A reply that came after its window, and the window that would have held it.
QString lateReplyText(int address, int suggestedWindowMs)
{
    return QCoreApplication::translate("Terminal",
                                       "a reply came after the window of %1: use --window %2 "
                                       "or more")
        .arg(frames::addressText(address))
        .arg(suggestedWindowMs);
}

// Bytes in a window that no reader sends, with the usual causes.
QString notAReadersReplyText(int address, const QByteArray &firstBytes)
{
    return QCoreApplication::translate("Terminal",
                                       "%1 answered %2, not a reader's reply: two readers on one "
                                       "address, a reader at the other speed, or noise")
        .arg(frames::addressText(address), QString::fromLatin1(linetrace::hex(firstBytes)));
}

// In the trace, as it is told.
void traceLateReply(int address, int suggestedWindowMs)
{
    qCDebug(lcLineTrace, "%.3f ms %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(lateReplyText(address, suggestedWindowMs)));
}

// The operator's answer is NEW from the command line; what the window would show in a
// box is kept for standard output or standard error.
class CommandLineAnswers : public OperatorDialogs
{
public:
    explicit CommandLineAnswers(int newAddress) : m_answer(QString::number(newAddress)) {}

    void message(const QString &text) override { said = text; }
    QString askText(const QString & /*prompt*/) override { return m_answer; }

    QString said;

private:
    QString m_answer;
};

class Terminal
{
    Q_DECLARE_TR_FUNCTIONS(Terminal)

public:
    explicit Terminal(const TerminalCommand &commandLine);
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    int scan();
    int watch();
    int assign();
    int check();
    int commission();

private:
    enum Status {
        Done = 0,
        LineFailed = 1,
        Usage = 2,
        Refused = 3,
        Changed = 4,
        LineProblem = CheckReport::ProblemStatus
    };

    std::optional<EarlierScan> earlierScan(int *status) const;
    int scanAt(int baud, const std::optional<EarlierScan> &earlier);
    ReportedLine reportedLine(int baud) const;
    ReportFormat reportFormat() const;
    template <typename Report> void follow(Report &report);
    void printOutput(const QString &line);
    void tellLateReply(int address, int suggestedWindowMs);
    void tellNotAReadersReply(int address, const QByteArray &firstBytes);
    void printNote(const QString &text);

    void onStopRequest(int exitStatus);
    void closeLine();
    // Nothing once the line is open; otherwise the exit status, its reason printed.
    std::optional<int> openPort();
    void reportLineFailure(const QString &statusText, bool otherMaster = false);
    void showProgress(const QString &text);
    void clearProgress();
    bool isStopped() const { return m_stopStatus != 0; }

    // Declared first, so destroyed last: a stop asked while the port closes on the way
    // out still ends the program as a stop, not by the default handling.
    StopRequest m_stop;
    const TerminalCommand &m_commandLine;
    Line m_line;
    ReaderLink m_link{m_line};
    int m_stopStatus = 0; // the exit status of the first stop asked for
    qsizetype m_progressShown = 0;
};

Terminal::Terminal(const TerminalCommand &commandLine)
    : m_commandLine(commandLine), m_line(commandLine.ports)
{
    m_line.choosePort(commandLine.port);
    m_line.setSettings(LineSettings::at(commandLine.bauds.constFirst()));
    if (commandLine.kind != TerminalCommand::Kind::Assign &&
        commandLine.kind != TerminalCommand::Kind::Commission)
        m_link.setReplyWindow(std::chrono::milliseconds(commandLine.windowMs));

    // Ctrl+C and SIGTERM end the reply wait at once through the event loop; the command
    // then sends nothing more and unwinds, and the port is closed on the way out.
    QObject::connect(&m_stop, &StopRequest::stopRequested,
                     [this](int exitStatus) { onStopRequest(exitStatus); });
    // A check says it in a row of its own.
    if (commandLine.kind != TerminalCommand::Kind::Check)
        QObject::connect(&m_link, &ReaderLink::echoSetAside, [this] {
            printNote(tr("the adapter echoes what it sends; its echo is set aside"));
        });
}

void Terminal::onStopRequest(int exitStatus)
{
    if (m_stopStatus == 0)
        m_stopStatus = exitStatus;
    m_link.abort();
    m_line.close(); // ends a connection to a server still being made
}

// A server drops what it has not yet written to its port when its client goes: what was
// written leaves this computer first. After a stop nothing waits.
void Terminal::closeLine()
{
    m_link.drain();
    m_line.close();
}

std::optional<int> Terminal::openPort()
{
    QString malformed;
    if (!LineAddress::parse(m_line.device(), &malformed)) {
        printLine(stderr,
                  tr("rollcall: Com %1: %2").arg(QString::number(m_line.port()), malformed));
        return Usage;
    }
    m_line.open();
    if (m_link.awaitOpen()) {
        const QString note = m_line.openNote();
        if (!note.isEmpty())
            printLine(stderr, tr("Com %1: %2").arg(QString::number(m_line.port()), note));
        return std::nullopt;
    }
    if (isStopped())
        return m_stopStatus;
    reportLineFailure(m_line.problem().statusText(m_line.port()));
    return LineFailed;
}

// What the window shows on its status line, then what its box holds behind the button.
// Another master is no fault of the port: its reason says it all.
void Terminal::reportLineFailure(const QString &statusText, bool otherMaster)
{
    if (otherMaster) {
        printLine(stderr, statusText);
        return;
    }
    QStringList lines{statusText};
    const QString details = m_line.problem().details();
    if (!details.isEmpty())
        lines << details;
    lines << QString() << SerialPortList::ofThisComputer().report(m_line.port());
    printLine(stderr, lines.join(QLatin1Char('\n')));
}

// One line on a terminal, rewritten in place; each text is padded over the last one.
void Terminal::showProgress(const QString &text)
{
    const QString shown = text.leftJustified(m_progressShown);
    StandardStream::print(stderr, QLatin1Char('\r') + shown + QLatin1Char('\r'));
    m_progressShown = text.size();
}

void Terminal::clearProgress()
{
    if (m_progressShown > 0)
        showProgress(QString());
}

// Each speed in turn, on its own opening of the port; a line that fails or a signal ends
// the whole scan. An earlier scan to compare with is read first, and one that cannot be
// compared is refused before the port opens. The command line allows a comparison at one
// speed only: the earlier document holds one.
int Terminal::scan()
{
    int status = Done;
    const std::optional<EarlierScan> earlier = earlierScan(&status);
    if (status != Done)
        return status;
    for (int baud : m_commandLine.bauds) {
        status = scanAt(baud, earlier);
        if (status != Done)
            return status;
    }
    return Done;
}

// Nothing to compare with, or the earlier scan; `*status` is Usage, its reason printed,
// when the file cannot be used.
std::optional<EarlierScan> Terminal::earlierScan(int *status) const
{
    if (m_commandLine.compareWith.isEmpty())
        return std::nullopt;
    QString problem;
    std::optional<EarlierScan> earlier = EarlierScan::read(m_commandLine.compareWith, &problem);
    if (earlier)
        problem = earlier->unlike(m_commandLine.firstAddress, m_commandLine.lastAddress,
                                  m_commandLine.bauds.constFirst());
    if (problem.isEmpty())
        return earlier;
    printLine(stderr, tr("rollcall: --compare %1: %2").arg(m_commandLine.compareWith, problem));
    *status = Usage;
    return std::nullopt;
}

int Terminal::scanAt(int baud, const std::optional<EarlierScan> &earlier)
{
    m_line.setSettings(LineSettings::at(baud));
    if (const std::optional<int> failed = openPort())
        return *failed;
    BusScan scan(m_link);
    ScanReport report(reportedLine(baud), reportFormat(), scan);
    report.setSpeedSaid(m_commandLine.bauds.size() > 1);
    if (earlier)
        report.compareWith(earlier->readers);
    follow(report);
    QObject::connect(&scan, &BusScan::lateReply, [this](int address, int windowMs) {
        traceLateReply(address, windowMs);
        tellLateReply(address, windowMs);
    });
    QObject::connect(&scan, &BusScan::notAReadersReply, [this](int address, const QByteArray &b) {
        tellNotAReadersReply(address, b);
    });

    scan.run(m_commandLine.firstAddress, m_commandLine.lastAddress);
    closeLine();
    clearProgress();
    if (isStopped())
        return m_stopStatus;
    printOutput(report.closingText());
    if (const std::optional<ReportedStop> &stop = report.results().stop) {
        reportLineFailure(stop->text, stop->otherMaster);
        if (earlier)
            printLine(stderr, tr("Not compared with %1: the scan stopped before its last address")
                                  .arg(m_commandLine.compareWith));
        return LineFailed;
    }
    const std::optional<ScanComparison> compared = report.comparison();
    return compared && compared->changed() ? Changed : Done;
}

// Polls until a signal or a lost line, then prints the tally either way.
int Terminal::watch()
{
    if (const std::optional<int> failed = openPort())
        return *failed;
    BusWatch watch(m_link);
    WatchReport report(reportedLine(m_commandLine.bauds.constFirst()), reportFormat(), watch);
    follow(report);
    // A reader that answers late every pass is traced every time, and told once.
    std::set<int> told;
    QObject::connect(&watch, &BusWatch::lateReply, [this, &told](int address, int windowMs) {
        traceLateReply(address, windowMs);
        if (told.insert(address).second)
            tellLateReply(address, windowMs);
    });
    std::set<int> named;
    QObject::connect(&watch, &BusWatch::notAReadersReply,
                     [this, &named](int address, const QByteArray &firstBytes) {
                         if (named.insert(address).second)
                             tellNotAReadersReply(address, firstBytes);
                     });

    watch.run(m_commandLine.firstAddress, m_commandLine.lastAddress);
    closeLine();
    clearProgress();
    printOutput(report.closingText());
    if (const std::optional<ReportedStop> stop = report.results().stop) {
        reportLineFailure(stop->text, stop->otherMaster);
        return LineFailed;
    }
    return isStopped() ? m_stopStatus : Done;
}

ReportedLine Terminal::reportedLine(int baud) const
{
    return {m_commandLine.port,         m_line.device(),           baud,
            m_commandLine.firstAddress, m_commandLine.lastAddress, m_commandLine.windowMs};
}

ReportFormat Terminal::reportFormat() const
{
    return m_commandLine.json ? ReportFormat::Json : ReportFormat::Text;
}

// What a report writes as the command runs: its lines on standard output, its progress
// on standard error for a person watching.
template <typename Report> void Terminal::follow(Report &report)
{
    QObject::connect(&report, &Report::written, [this](const QString &line) { printOutput(line); });
    if (showsProgress())
        QObject::connect(&report, &Report::progress,
                         [this](const QString &text) { showProgress(text); });
}

void Terminal::tellLateReply(int address, int suggestedWindowMs)
{
    printNote(lateReplyText(address, suggestedWindowMs));
}

// JSON holds every reply already; the words are for a person reading text.
void Terminal::tellNotAReadersReply(int address, const QByteArray &firstBytes)
{
    if (reportFormat() == ReportFormat::Text)
        printNote(notAReadersReplyText(address, firstBytes));
}

void Terminal::printNote(const QString &text)
{
    clearProgress();
    printLine(stderr, text);
}

void Terminal::printOutput(const QString &line)
{
    if (line.isEmpty())
        return;
    clearProgress(); // stdout and stderr may share the terminal
    printLine(stdout, line);
}

int Terminal::assign()
{
    if (const std::optional<int> failed = openPort())
        return *failed;
    CommandLineAnswers answers(m_commandLine.newAddress);
    AddressAssignment assignment(m_link, answers);
    QObject::connect(&assignment, &AddressAssignment::statusChanged,
                     [&answers](const QString &text) {
                         if (!text.isEmpty())
                             answers.said = text;
                     });
    QString stopText;
    bool otherMaster = false;
    QObject::connect(
        &assignment, &AddressAssignment::stopped, [&stopText, &otherMaster](const StopReason &why) {
            stopText = tr("Address change stopped: %1").arg(ScanReport::stopReasonText(why));
            otherMaster = why.isOtherMaster();
        });

    const AddressAssignment::Outcome outcome = assignment.run();
    closeLine();
    if (isStopped())
        return m_stopStatus;
    switch (outcome) {
    case AddressAssignment::Outcome::Changed:
        // The scan that verifies it is a command line of its own.
        printLine(stdout, tr("Reader address has been changed to %1 - run \"rollcall scan "
                             "--addresses %2-%2\" to verify the change")
                              .arg(frames::addressText(m_commandLine.newAddress),
                                   QString::number(m_commandLine.newAddress)));
        return Done;
    case AddressAssignment::Outcome::NotOnline:
    case AddressAssignment::Outcome::Taken:
        printLine(stderr, answers.said);
        return Refused;
    case AddressAssignment::Outcome::Stopped:
        reportLineFailure(stopText, otherMaster);
        return LineFailed;
    case AddressAssignment::Outcome::Invalid: // the command line took only a valid one
    case AddressAssignment::Outcome::Cancelled:
        break;
    }
    printLine(stderr, AddressAssignment::invalidText());
    return Usage;
}

// Each speed on its own opening of the port, then one verdict. Another master ends the
// check of a speed, not the check: its rows say so. A line that fails ends it, after the
// rows of what was checked.
int Terminal::check()
{
    CheckReport report(m_commandLine.port, m_line.device());
    LineCheck check(m_link);
    int baud = 0;
    if (showsProgress())
        QObject::connect(&check, &LineCheck::statusChanged, [this, &baud](const QString &text) {
            showProgress(tr("%1 at %2 baud").arg(text).arg(baud));
        });
    std::optional<QString> lineFailure;
    for (const int speed : LineCheck::Bauds) {
        baud = speed;
        m_line.setSettings(LineSettings::at(baud));
        if (const std::optional<int> failed = openPort()) {
            // Said already; the rows tell what was checked before.
            if (isStopped() || baud == LineCheck::Bauds.front())
                return *failed;
            LineFindings unopened;
            unopened.stop = StopReason();
            unopened.stop->line = m_line.problem();
            report.add(baud, unopened);
            printOutput(reportFormat() == ReportFormat::Json ? report.json() : report.text());
            return *failed;
        }
        const LineFindings findings = check.run();
        closeLine();
        clearProgress();
        if (isStopped())
            return m_stopStatus;
        report.add(baud, findings);
        if (findings.stop && !findings.stop->isOtherMaster()) {
            lineFailure = tr("Check stopped at %1 (%2 baud): %3")
                              .arg(frames::addressText(findings.stoppedAt))
                              .arg(baud)
                              .arg(ScanReport::stopReasonText(*findings.stop));
            break;
        }
    }
    printOutput(reportFormat() == ReportFormat::Json ? report.json() : report.text());
    if (lineFailure) {
        reportLineFailure(*lineFailure);
        return LineFailed;
    }
    return report.hasProblem() ? LineProblem : Done;
}

// Gives readers connected one after another their addresses until the last one is given
// or a stop is asked; each one given rings the bell of a terminal, for a technician up a
// ladder. The summary stands last on standard output whatever ended the run.
int Terminal::commission()
{
    if (const std::optional<int> failed = openPort())
        return *failed;
    Commissioning run(m_link);
    CommissionReport report(reportedLine(m_commandLine.bauds.constFirst()), reportFormat(), run);
    QObject::connect(&report, &CommissionReport::written,
                     [this](const QString &line) { printOutput(line); });
    if (reportFormat() == ReportFormat::Text && StandardStream::isTerminal(stderr))
        QObject::connect(&run, &Commissioning::assigned,
                         [] { StandardStream::print(stderr, QStringLiteral("\a")); });
    if (reportFormat() == ReportFormat::Text)
        printNote(tr("While nothing answers at 000 it is polled once a second, so the bus "
                     "stays free; Ctrl+C ends the run."));
    std::optional<ReportedStop> stop;
    QObject::connect(&run, &Commissioning::stopped, [&run, &stop](const StopReason &why) {
        const QString reason = ScanReport::stopReasonText(why);
        stop = ReportedStop{run.nextAddress(), reason, CommissionReport::stopText(why),
                            why.isOtherMaster()};
    });

    const Commissioning::Outcome outcome =
        run.run(m_commandLine.firstAddress, m_commandLine.lastAddress);
    closeLine();
    using Ending = CommissionReport::Ending;
    Ending ending = Ending::LastAddress;
    if (stop) {
        report.setStop(*stop);
        ending = Ending::Stopped;
    } else if (isStopped()) {
        ending = Ending::Interrupted;
    } else if (outcome == Commissioning::Outcome::NoFreeAddress) {
        ending = Ending::NoFreeAddress;
    }
    printOutput(report.closingText(ending));
    if (stop) {
        reportLineFailure(stop->text, stop->otherMaster);
        return LineFailed;
    }
    // Stopping is how a run with no last address ends: done, once a reader was given one.
    if (ending == Ending::Interrupted)
        return run.given().isEmpty() ? m_stopStatus : Done;
    if (ending == Ending::NoFreeAddress) {
        printLine(stderr, CommissionReport::noFreeAddressText(m_commandLine.lastAddress));
        return Refused;
    }
    return Done;
}

} // namespace

int runInTerminal(const TerminalCommand &commandLine)
{
    Terminal terminal(commandLine);
    switch (commandLine.kind) {
    case TerminalCommand::Kind::Assign:
        return terminal.assign();
    case TerminalCommand::Kind::Watch:
        return terminal.watch();
    case TerminalCommand::Kind::Check:
        return terminal.check();
    case TerminalCommand::Kind::Commission:
        return terminal.commission();
    default:
        return terminal.scan();
    }
}
