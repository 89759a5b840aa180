#include "terminal/terminal.h"

#include "bus/readerlink.h"
#include "commands/addressassignment.h"
#include "commands/busscan.h"
#include "commands/buswatch.h"
#include "commands/operatordialogs.h"
#include "commands/scanreport.h"
#include "commands/watchreport.h"
#include "line/line.h"
#include "line/lineaddress.h"
#include "line/linetrace.h"
#include "line/serialportlist.h"
#include "terminal/commandline.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <cstdio>
#include <optional>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <QPointer>
#include <QThread>

#include <atomic>
#include <csignal>
#include <functional>
#include <io.h>
#include <mutex>
#include <qt_windows.h>
#endif

namespace {

void printLine(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().append('\n').constData(), stream);
    std::fflush(stream); // shown the moment it is known, on a pipe too
}

#ifdef Q_OS_UNIX
// Written by the signal handler, read in the event loop the reply wait sleeps in.
int signalPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

constexpr int StopSignals[] = {SIGINT, SIGTERM};
#endif

#ifdef Q_OS_WIN
// Ctrl+C, Ctrl+Break and a closed console arrive on a thread of the system's own; they are
// handed to the receiver, in the event loop the reply wait sleeps in, as the signal
// numbers Linux would give them (exit status 130 and 143).
std::mutex stopMutex;
QPointer<QObject> stopReceiver;        // guarded by stopMutex
std::function<void(int)> stopDelivery; // runs on the receiver's thread
std::atomic<bool> stopReceiverGone{false};

BOOL WINAPI forwardConsoleEvent(DWORD event)
{
    const int signalNumber = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    {
        const std::lock_guard<std::mutex> lock(stopMutex);
        if (!stopReceiver)
            return FALSE;
        QMetaObject::invokeMethod(
            stopReceiver, [signalNumber] { stopDelivery(signalNumber); }, Qt::QueuedConnection);
    }
    // Windows ends the process once this returns from a closed console: give the command
    // a few seconds to unwind and close the port first.
    if (signalNumber == SIGTERM) {
        for (int waited = 0; waited < 4000 && !stopReceiverGone; waited += 50)
            ::Sleep(50);
    }
    return TRUE;
}
#endif

// Progress is for a person watching, not for a pipe or a file.
bool isTerminal(std::FILE *stream)
{
#ifdef Q_OS_UNIX
    return ::isatty(::fileno(stream)) != 0;
#elif defined(Q_OS_WIN)
    return ::_isatty(::_fileno(stream)) != 0;
#else
    Q_UNUSED(stream);
    return false;
#endif
}

// Progress is for a person watching, and not between the lines of a trace either.
bool showsProgress()
{
    return isTerminal(stderr) && !lcLineTrace().isDebugEnabled();
}

// The operator's answer is NEW from the command line; what the window would show in a
// box is kept for standard output or standard error.
class CommandLineAnswers : public OperatorDialogs
{
public:
    explicit CommandLineAnswers(int newAddress) : m_answer(QString::number(newAddress)) {}

    void message(const QString &text, const QString & /*informative*/,
                 const QString & /*detailed*/) override
    {
        said = text;
    }
    QString askText(const QString & /*prompt*/) override { return m_answer; }

    QString said;

private:
    QString m_answer;
};

class Terminal
{
    Q_DECLARE_TR_FUNCTIONS(Terminal)

public:
    explicit Terminal(const CommandLine &commandLine);
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    int scan();
    int watch();
    int assign();

private:
    enum Status { Done = 0, LineFailed = 1, Usage = 2, Refused = 3 };

    int scanAt(int baud);
    ReportedLine reportedLine(int baud) const;
    ReportFormat reportFormat() const;
    template <typename Report> void follow(Report &report);
    void printOutput(const QString &line);

#ifdef Q_OS_UNIX
    void onSignal();
#endif
    // The first stop request decides the exit status.
    void stop(int signalNumber);
    // Nothing once the line is open; otherwise the exit status, its reason printed.
    std::optional<int> openPort();
    void reportLineFailure(const QString &statusText);
    void showProgress(const QString &text);
    void clearProgress();
    int interruptedStatus() const
    {
        return 128 + m_signal;
    }

    const CommandLine &m_commandLine;
    Line m_line;
    ReaderLink m_link{m_line};
    std::optional<QSocketNotifier> m_signals;
    QObject m_stopReceiver;
    int m_signal = 0;
    qsizetype m_progressShown = 0;
};

Terminal::Terminal(const CommandLine &commandLine)
    : m_commandLine(commandLine), m_line(commandLine.ports)
{
    m_line.choosePort(commandLine.port);
    m_line.setSettings(LineSettings::at(commandLine.bauds.constFirst()));
    if (commandLine.action != CommandLine::Action::Assign)
        m_link.setReplyWindow(std::chrono::milliseconds(commandLine.windowMs));

#ifdef Q_OS_UNIX
    // Ctrl+C and SIGTERM end the reply wait at once through the event loop; the command
    // then sends nothing more and unwinds, and the port is closed on the way out.
    if (::pipe(signalPipe) != 0)
        return;
    for (int fd : signalPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : StopSignals)
        ::sigaction(signalNumber, &action, nullptr);
    m_signals.emplace(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&*m_signals, &QSocketNotifier::activated, [this] { onSignal(); });
#elif defined(Q_OS_WIN)
    {
        const std::lock_guard<std::mutex> lock(stopMutex);
        stopReceiver = &m_stopReceiver;
        stopDelivery = [this](int signalNumber) { stop(signalNumber); };
    }
    ::SetConsoleCtrlHandler(forwardConsoleEvent, TRUE);
#endif
}

Terminal::~Terminal()
{
#ifdef Q_OS_UNIX
    if (!m_signals)
        return;
    for (int signalNumber : StopSignals)
        ::signal(signalNumber, SIG_DFL);
    m_signals.reset();
    for (int &fd : signalPipe) {
        ::close(fd);
        fd = -1;
    }
#elif defined(Q_OS_WIN)
    ::SetConsoleCtrlHandler(forwardConsoleEvent, FALSE);
    const std::lock_guard<std::mutex> lock(stopMutex);
    stopReceiver = nullptr;
    stopReceiverGone = true;
#endif
}

#ifdef Q_OS_UNIX
void Terminal::onSignal()
{
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
        stop(byte);
}
#endif

void Terminal::stop(int signalNumber)
{
    if (m_signal == 0)
        m_signal = signalNumber;
    m_link.abort();
    m_line.close(); // ends a connection to a server still being made
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
    if (m_signal != 0)
        return interruptedStatus();
    reportLineFailure(m_line.problem().statusText(m_line.port()));
    return LineFailed;
}

// What the window shows on its status line, then what its box holds behind the button.
void Terminal::reportLineFailure(const QString &statusText)
{
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
    std::fputs(QString(QLatin1Char('\r') + shown + QLatin1Char('\r')).toLocal8Bit().constData(),
               stderr);
    std::fflush(stderr);
    m_progressShown = text.size();
}

void Terminal::clearProgress()
{
    if (m_progressShown > 0)
        showProgress(QString());
}

// Each speed in turn, on its own opening of the port; a line that fails or a signal ends
// the whole scan.
int Terminal::scan()
{
    for (int baud : m_commandLine.bauds) {
        const int status = scanAt(baud);
        if (status != Done)
            return status;
    }
    return Done;
}

int Terminal::scanAt(int baud)
{
    m_line.setSettings(LineSettings::at(baud));
    if (const std::optional<int> failed = openPort())
        return *failed;
    BusScan scan(m_link);
    ScanReport report(reportedLine(baud), reportFormat(), scan);
    report.setSpeedSaid(m_commandLine.bauds.size() > 1);
    follow(report);
    QObject::connect(&scan, &BusScan::lateReply, [this](int address, int windowMs) {
        clearProgress();
        printLine(stderr, BusScan::lateReplyText(address, windowMs));
    });

    scan.run(m_commandLine.firstAddress, m_commandLine.lastAddress);
    m_line.close();
    clearProgress();
    if (m_signal != 0)
        return interruptedStatus();
    printOutput(report.closingText());
    if (const std::optional<ReportedStop> &stop = report.results().stop) {
        reportLineFailure(stop->text);
        return LineFailed;
    }
    return Done;
}

// Polls until a signal or a lost line, then prints the tally either way.
int Terminal::watch()
{
    if (const std::optional<int> failed = openPort())
        return *failed;
    BusWatch watch(m_link);
    WatchReport report(reportedLine(m_commandLine.bauds.constFirst()), reportFormat(), watch);
    follow(report);
    QObject::connect(&watch, &BusWatch::lateReply, [this](int address, int windowMs) {
        clearProgress();
        printLine(stderr, BusScan::lateReplyText(address, windowMs));
    });

    watch.run(m_commandLine.firstAddress, m_commandLine.lastAddress);
    m_line.close();
    clearProgress();
    printOutput(report.closingText());
    if (const std::optional<ReportedStop> stop = report.results().stop) {
        reportLineFailure(stop->text);
        return LineFailed;
    }
    return m_signal != 0 ? interruptedStatus() : Done;
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
    QObject::connect(&assignment, &AddressAssignment::stopped,
                     [&stopText](const QString &text) { stopText = text; });

    const AddressAssignment::Outcome outcome = assignment.run();
    m_line.close();
    if (m_signal != 0)
        return interruptedStatus();
    switch (outcome) {
    case AddressAssignment::Outcome::Changed:
        printLine(stdout, AddressAssignment::changedText(m_commandLine.newAddress));
        return Done;
    case AddressAssignment::Outcome::NotOnline:
    case AddressAssignment::Outcome::Taken:
        printLine(stderr, answers.said);
        return Refused;
    case AddressAssignment::Outcome::Stopped:
        reportLineFailure(stopText);
        return LineFailed;
    case AddressAssignment::Outcome::Invalid: // the command line took only a valid one
    case AddressAssignment::Outcome::Cancelled:
        break;
    }
    printLine(stderr, AddressAssignment::invalidText());
    return Usage;
}

} // namespace

int runInTerminal(const CommandLine &commandLine)
{
    Terminal terminal(commandLine);
    switch (commandLine.action) {
    case CommandLine::Action::Assign:
        return terminal.assign();
    case CommandLine::Action::Watch:
        return terminal.watch();
    default:
        return terminal.scan();
    }
}
