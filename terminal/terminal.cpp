#include "terminal/terminal.h"

#include "bus/frames.h"
#include "bus/readerlink.h"
#include "commands/addressassignment.h"
#include "commands/busscan.h"
#include "commands/buswatch.h"
#include "commands/operatordialogs.h"
#include "commands/watchreport.h"
#include "line/line.h"
#include "line/lineaddress.h"
#include "line/linetrace.h"
#include "line/serialportlist.h"
#include "terminal/commandline.h"
#include "terminal/jsontext.h"

#include <QCoreApplication>
#include <QDateTime>
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

namespace {

void printLine(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().append('\n').constData(), stream);
    std::fflush(stream); // shown the moment it is known, on a pipe too
}

// What arrived in one reply window of a scan.
struct Reply
{
    int address = 0;
    qint64 firstByteNs = 0;
    qint64 bytes = 0;
    bool listed = false;
};

QString repliesJson(const QList<Reply> &replies)
{
    QStringList entries;
    for (const Reply &reply : replies)
        entries << QStringLiteral(
                       R"({"address": %1, "first_byte_ms": %2, "bytes": %3, "listed": %4})")
                       .arg(reply.address)
                       .arg(QString::number(static_cast<double>(reply.firstByteNs) / 1e6, 'f', 1))
                       .arg(reply.bytes)
                       .arg(reply.listed ? QStringLiteral("true") : QStringLiteral("false"));
    return QLatin1Char('[') + entries.join(QStringLiteral(", ")) + QLatin1Char(']');
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

// Progress is for a person watching, not for a pipe or a file.
bool isTerminal(std::FILE *stream)
{
#ifdef Q_OS_UNIX
    return ::isatty(::fileno(stream)) != 0;
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

    void onSignal();
    // Nothing once the line is open; otherwise the exit status, its reason printed.
    std::optional<int> openPort();
    void reportLineFailure(const QString &statusText);
    void showProgress(const QString &text);
    void clearProgress();
    int interruptedStatus() const { return 128 + m_signal; }

    const CommandLine &m_commandLine;
    Line m_line;
    ReaderLink m_link{m_line};
    std::optional<QSocketNotifier> m_signals;
    int m_signal = 0;
    qsizetype m_progressShown = 0;
};

Terminal::Terminal(const CommandLine &commandLine)
    : m_commandLine(commandLine), m_line(commandLine.ports)
{
    m_line.choosePort(commandLine.port);
    m_line.setSettings(QStringLiteral("%1,N,8,1").arg(commandLine.bauds.constFirst()));
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
#endif
}

void Terminal::onSignal()
{
#ifdef Q_OS_UNIX
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1) {
        if (m_signal == 0)
            m_signal = byte;
    }
#endif
    m_link.abort();
    m_line.close(); // ends a connection to a server still being made
}

std::optional<int> Terminal::openPort()
{
    QString malformed;
    if (!LineAddress::parse(m_line.device(), &malformed)) {
        printLine(stderr, tr("rollcall: Com %1: %2").arg(m_line.port()).arg(malformed));
        return Usage;
    }
    if (m_line.open()) {
        const QString note = m_line.openNote();
        if (!note.isEmpty())
            printLine(stderr, tr("Com %1: %2").arg(m_line.port()).arg(note));
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
    m_line.setSettings(QStringLiteral("%1,N,8,1").arg(baud));
    if (const std::optional<int> failed = openPort())
        return *failed;
    // With one speed the lines read as they always have.
    const QString speed = m_commandLine.bauds.size() > 1 ? tr(" at %1 baud").arg(baud) : QString();
    BusScan scan(m_link);
    const bool json = m_commandLine.json;
    QStringList found;
    QList<Reply> replies;
    const auto keepReply = [&](int address, qint64 /*nanoseconds*/, qint64 bytesWaiting) {
        if (bytesWaiting > 0)
            replies.append({address, m_link.lastFirstByteNs(), bytesWaiting, false});
    };
    QObject::connect(&m_link, &ReaderLink::replyWindowMeasured, &scan, keepReply);
    QObject::connect(&scan, &BusScan::readerListed, [&](const QString &entry, int address) {
        found << QString::number(address);
        replies.last().listed = true; // the reply of this very window
        if (json)
            return;
        clearProgress(); // stdout and stderr may share the terminal
        printLine(stdout, entry + speed);
    });
    if (showsProgress())
        QObject::connect(&scan, &BusScan::statusChanged,
                         [&](const QString &text) { showProgress(text + speed); });
    QString stopText;
    std::optional<std::pair<int, QString>> stoppedAt;
    QObject::connect(&scan, &BusScan::stopped,
                     [&](const QString &text, int address, const QString &reason) {
                         stopText = text;
                         stoppedAt.emplace(address, reason);
                     });

    scan.run(m_commandLine.firstAddress, m_commandLine.lastAddress);
    m_line.close();
    clearProgress();
    if (m_signal != 0)
        return interruptedStatus();

    if (json) {
        const QString document =
            QStringLiteral(R"({"port": %1, "device": %2, "baud": %3, "addresses": [%4, %5], )"
                           R"("readers": [%6], %7)")
                .arg(m_commandLine.port)
                .arg(jsonString(m_line.device()))
                .arg(baud)
                .arg(m_commandLine.firstAddress)
                .arg(m_commandLine.lastAddress)
                .arg(found.join(QStringLiteral(", ")), completionJson(stoppedAt));
        printLine(stdout, document + QStringLiteral(R"(, "replies": )") + repliesJson(replies) +
                              QLatin1Char('}'));
    }
    if (stoppedAt) {
        reportLineFailure(stopText);
        return LineFailed;
    }
    if (!json)
        printLine(stdout, BusScan::resultText(static_cast<int>(found.size())) + speed);
    return Done;
}

// Polls until a signal or a lost line, then prints the tally either way.
int Terminal::watch()
{
    if (const std::optional<int> failed = openPort())
        return *failed;
    BusWatch watch(m_link);
    const bool json = m_commandLine.json;
    QObject::connect(&watch, &BusWatch::changed, [&](int address, BusWatch::Change change) {
        const QDateTime now = QDateTime::currentDateTime();
        clearProgress();
        printLine(stdout, json ? watchreport::changeJson(now, address, change)
                               : watchreport::changeLine(now, address, change));
    });
    if (showsProgress())
        QObject::connect(&watch, &BusWatch::polling, [&](int pass, int address) {
            showProgress(watchreport::progressText(watch, pass, address));
        });
    QString stopText;
    std::optional<std::pair<int, QString>> stoppedAt;
    QObject::connect(&watch, &BusWatch::stopped,
                     [&](const QString &text, int address, const QString &reason) {
                         stopText = text;
                         stoppedAt.emplace(address, reason);
                     });

    watch.run(m_commandLine.firstAddress, m_commandLine.lastAddress);
    m_line.close();
    clearProgress();
    if (json) {
        const QString head =
            QStringLiteral(R"("port": %1, "device": %2, "baud": %3, "addresses": [%4, %5], )"
                           R"("window_ms": %6)")
                .arg(m_commandLine.port)
                .arg(jsonString(m_line.device()))
                .arg(m_commandLine.bauds.constFirst())
                .arg(m_commandLine.firstAddress)
                .arg(m_commandLine.lastAddress)
                .arg(m_commandLine.windowMs);
        printLine(stdout, watchreport::summaryJson(watch, head, stoppedAt));
    } else {
        printLine(stdout, watchreport::summaryText(watch));
    }
    if (stoppedAt) {
        reportLineFailure(stopText);
        return LineFailed;
    }
    return m_signal != 0 ? interruptedStatus() : Done;
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
        printLine(stdout, tr("Reader address has been changed to %1 - run \"rollcall scan "
                             "--addresses %2-%2\" to verify the change")
                              .arg(frames::addressText(m_commandLine.newAddress))
                              .arg(m_commandLine.newAddress));
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
