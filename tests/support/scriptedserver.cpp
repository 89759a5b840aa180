#include "tests/support/scriptedserver.h"

#include <QSocketNotifier>
#include <QTcpSocket>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace {

constexpr quint8 Iac = 255;
constexpr quint8 Dont = 254;
constexpr quint8 Do = 253;
constexpr quint8 Wont = 252;
constexpr quint8 Will = 251;
constexpr quint8 Sb = 250;
constexpr quint8 Se = 240;
constexpr quint8 Binary = 0;
constexpr quint8 SuppressGoAhead = 3;
constexpr quint8 ComPort = 44;
constexpr quint8 SetBaudRate = 1;
constexpr quint8 SetControl = 5;
constexpr quint8 NotifyLineState = 6;
constexpr quint8 PurgeData = 12;
constexpr quint8 ServerAnswer = 100;

// A confirmation held for data that may never come (no reader at the address) goes out
// after this long anyway: soon for the server that sends stale bytes with it, well past
// any sensible bound for the one whose control path is slow.
constexpr int StaleRelease = 10;
constexpr int LateRelease = 120;

QByteArray command(quint8 verb, quint8 option)
{
    const char bytes[] = {char(Iac), char(verb), char(option)};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray subnegotiation(quint8 code, const QByteArray &value)
{
    QByteArray escaped = value;
    escaped.replace(QByteArray(1, char(Iac)), QByteArray(2, char(Iac)));
    const char start[] = {char(Iac), char(Sb), char(ComPort), char(code)};
    const char end[] = {char(Iac), char(Se)};
    return QByteArray(start, sizeof start) + escaped + QByteArray(end, sizeof end);
}

} // namespace

ScriptedServer::ScriptedServer(Habit habit, QString device, QObject *parent)
    : QObject(parent), m_habit(habit), m_device(std::move(device))
{
    m_releaseHeld.setSingleShot(true);
    connect(&m_releaseHeld, &QTimer::timeout, this, [this] {
        while (!m_heldPurges.isEmpty())
            confirmPurge(m_heldPurges.takeFirst());
    });
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedServer::accept);
    m_server.listen(QHostAddress::LocalHost, 0);
}

ScriptedServer::~ScriptedServer()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString ScriptedServer::url() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port());
}

void ScriptedServer::accept()
{
    QTcpSocket *next = m_server.nextPendingConnection();
    if (m_client) { // one client at a time, as a serial port has; ser2net's own words
        next->write(QByteArray::fromHex("fffb03fffd03fffb01fffe01fffd00fffb00fffd2c") +
                    "Port already in use\r\n");
        next->disconnectFromHost();
        return;
    }
    m_client = next;
    connect(next, &QTcpSocket::readyRead, this, &ScriptedServer::fromClient);
    connect(next, &QTcpSocket::disconnected, next, &QObject::deleteLater);

    m_fd = ::open(m_device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0) {
        next->write("Port's device could not be opened\r\n");
        next->disconnectFromHost();
        return;
    }
    termios tty{};
    ::tcgetattr(m_fd, &tty);
    ::cfmakeraw(&tty);
    tty.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(m_fd, TCSANOW, &tty);
    setSpeed(9600);
    m_lineReadable = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_lineReadable, &QSocketNotifier::activated, this, &ScriptedServer::fromLine);

    if (m_habit == Habit::SpeaksFirst)
        toClient(command(Will, ComPort) + command(Do, Binary) + command(Will, Binary) +
                 command(Will, SuppressGoAhead) + command(Do, SuppressGoAhead));
}

void ScriptedServer::fromClient()
{
    const QByteArray bytes = m_client->readAll();
    // Held on a timer of the client's socket, which is deleted, timer and all, when the
    // client goes.
    if (m_habit == Habit::DropsUnwrittenOnClose)
        QTimer::singleShot(HoldBackMs, m_client, [this, bytes] { take(bytes); });
    else
        take(bytes);
}

void ScriptedServer::take(const QByteArray &bytes)
{
    if (m_stalled)
        return;
    QByteArray line;
    for (const char c : bytes) {
        const auto byte = static_cast<quint8>(c);
        switch (m_parse) {
        case Parse::Data:
            if (byte == Iac)
                m_parse = Parse::Iac;
            else
                line += c;
            break;
        case Parse::Iac:
            m_parse = Parse::Data;
            if (byte == Iac) {
                line += c;
            } else if (byte >= Will && byte <= Dont) {
                m_verb = byte;
                m_parse = Parse::Option;
            } else if (byte == Sb) {
                m_sub.clear();
                m_parse = Parse::Sub;
            }
            break;
        case Parse::Option:
            onTelnet(m_verb, byte);
            m_parse = Parse::Data;
            break;
        case Parse::Sub:
            if (byte == Iac)
                m_parse = Parse::SubIac;
            else
                m_sub += c;
            break;
        case Parse::SubIac:
            if (byte == Se) {
                // Data before the request goes to the line first: TCP keeps the order.
                toLine(line);
                line.clear();
                onSubnegotiation(m_sub);
                m_parse = Parse::Data;
            } else {
                m_sub += c; // IAC IAC inside a value
                m_parse = Parse::Sub;
            }
            break;
        }
        if (m_stalled)
            return;
    }
    toLine(line);
}

void ScriptedServer::onTelnet(quint8 verb, quint8 option)
{
    const auto key = static_cast<quint16>(verb << 8 | option);
    if (m_answered.contains(key) || verb == Wont || verb == Dont)
        return;
    m_answered.insert(key);
    const bool wanted = option == Binary || option == SuppressGoAhead || option == ComPort;
    if (verb == Will)
        toClient(command(wanted ? Do : Dont, option));
    else
        toClient(command(wanted ? Will : Wont, option));
}

void ScriptedServer::onSubnegotiation(const QByteArray &body)
{
    // A request behind the poll that stalled the server goes unanswered like the rest.
    if (m_stalled || body.size() < 3 || quint8(body.at(0)) != ComPort)
        return;
    const auto code = static_cast<quint8>(body.at(1));
    const QByteArray value = body.mid(2);
    if (code == PurgeData) {
        onPurge(static_cast<quint8>(value.at(0)));
        return;
    }
    if (code == SetBaudRate && value.size() == 4) {
        const auto b = [&value](int i) { return quint32(quint8(value.at(i))); };
        setSpeed(b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3));
    }
    if (code >= SetBaudRate && code <= SetControl)
        toClient(subnegotiation(code + ServerAnswer, value));
}

void ScriptedServer::onPurge(quint8 value)
{
    ++m_purges;
    ::tcflush(m_fd, TCIFLUSH);
    switch (m_habit) {
    case Habit::NeverConfirmsPurges:
        return;
    case Habit::StaleBeforeConfirmation:
        // The open's purge at once, stale bytes and all: a busy test machine must not make
        // it late, which would take this server for one that confirms late.
        if (m_purges == 1) {
            confirmPurge(value);
            return;
        }
        [[fallthrough]];
    case Habit::ConfirmsPurgesLate:
        m_heldPurges.append(value);
        m_releaseHeld.start(m_habit == Habit::ConfirmsPurgesLate ? LateRelease : StaleRelease);
        return;
    case Habit::WellBehaved:
    case Habit::Stalls:
    case Habit::SpeaksFirst:
    case Habit::DropsUnwrittenOnClose:
        confirmPurge(value);
        return;
    }
}

void ScriptedServer::confirmPurge(quint8 value, const QByteArray &after)
{
    ++m_confirmations;
    const QByteArray confirmation =
        subnegotiation(PurgeData + ServerAnswer, QByteArray(1, char(value)));
    if (m_habit == Habit::StaleBeforeConfirmation)
        toClient(StaleBytes + confirmation + after); // one write, one segment
    else
        toClient(confirmation);
}

void ScriptedServer::fromLine()
{
    char buffer[4096];
    const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
    if (got <= 0 || m_stalled)
        return;
    QByteArray data(buffer, static_cast<qsizetype>(got));
    data.replace(QByteArray(1, char(Iac)), QByteArray(2, char(Iac)));
    if (!m_heldPurges.isEmpty()) {
        m_releaseHeld.stop();
        if (m_habit == Habit::StaleBeforeConfirmation) {
            const quint8 last = m_heldPurges.takeLast();
            while (!m_heldPurges.isEmpty())
                confirmPurge(m_heldPurges.takeFirst());
            const qsizetype first = data.startsWith(char(Iac)) ? 2 : 1;
            confirmPurge(last, data.left(first));
            data = data.mid(first);
        } else { // the data overtakes the confirmation
            toClient(data);
            data.clear();
            while (!m_heldPurges.isEmpty())
                confirmPurge(m_heldPurges.takeFirst());
        }
    }
    if (data.isEmpty())
        return;
    if (m_habit == Habit::SpeaksFirst) // a line-state notification inside the reply
        data.insert(data.size() > 1 ? 1 : 0,
                    subnegotiation(NotifyLineState + ServerAnswer, QByteArray(1, '\x60')));
    toClient(data);
}

void ScriptedServer::toClient(const QByteArray &bytes)
{
    if (m_client && !bytes.isEmpty())
        m_client->write(bytes);
}

void ScriptedServer::toLine(const QByteArray &bytes)
{
    QByteArray forwarded = bytes;
    const qsizetype stallAt =
        m_habit == Habit::Stalls ? bytes.indexOf(char(0x80 + StallAddress)) : -1;
    if (stallAt >= 0) { // the poll of StallAddress: what came before it still goes out
        m_stalled = true;
        m_releaseHeld.stop();
        forwarded.truncate(stallAt);
    }
    // A pty takes a few bytes at once; a bounded number of tries all the same.
    qsizetype done = 0;
    for (int attempt = 0; done < forwarded.size() && attempt < 1000; ++attempt) {
        const ssize_t wrote = ::write(m_fd, forwarded.constData() + done,
                                      static_cast<size_t>(forwarded.size() - done));
        if (wrote < 0 && errno != EAGAIN && errno != EINTR)
            return;
        done += wrote > 0 ? wrote : 0;
    }
}

void ScriptedServer::setSpeed(quint32 baud) const
{
    termios tty{};
    if (m_fd < 0 || ::tcgetattr(m_fd, &tty) != 0)
        return;
    const speed_t speed = baud == 19200 ? B19200 : B9600;
    ::cfsetispeed(&tty, speed);
    ::cfsetospeed(&tty, speed);
    ::tcsetattr(m_fd, TCSANOW, &tty);
}
