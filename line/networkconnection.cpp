#include "line/networkconnection.h"

#include "line/linetrace.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

QString parityName(char parity)
{
    switch (parity) {
    case 'E':
        return QStringLiteral("even");
    case 'O':
        return QStringLiteral("odd");
    default:
        return QStringLiteral("none");
    }
}

std::uint8_t parityValue(char parity)
{
    switch (parity) {
    case 'E':
        return TelnetCodec::ParityEven;
    case 'O':
        return TelnetCodec::ParityOdd;
    default:
        return TelnetCodec::ParityNone;
    }
}

} // namespace

NetworkConnection::NetworkConnection(LineAddress address, QString device, QObject *parent)
    : LineConnection(parent), m_address(std::move(address)), m_device(std::move(device))
{
    m_socket.setReadBufferSize(ReceiveLimit);
    m_wake.setSingleShot(true);
    m_wake.setTimerType(Qt::PreciseTimer);
    connect(&m_socket, &QTcpSocket::readyRead, this, &NetworkConnection::onReadyRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &NetworkConnection::onSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        if (m_state == State::Open || m_state == State::Negotiating)
            fail(tr("the server closed the connection"));
    });
}

NetworkConnection::~NetworkConnection()
{
    shutDown();
}

bool NetworkConnection::open(const LineSettings &settings)
{
    close();
    m_received.clear();
    m_codec = TelnetCodec();
    m_comPortAccepted = m_comPortRefused = false;
    m_confirmed.clear();
    m_purgePending = false;
    m_serverAnswersPurges = true;
    setProblem(PortProblem());

    qCDebug(lcLineTrace, "%.3f ms connecting: %s %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(m_address.kindName()), qUtf8Printable(m_address.where()));
    if (!connectToServer())
        return false;
    if (m_address.kind == LineAddress::Kind::Rfc2217 && !negotiate(settings))
        return false;
    m_state = State::Open;
    return true;
}

bool NetworkConnection::connectToServer()
{
    m_state = State::Connecting;
    m_socket.connectToHost(m_address.host, m_address.port);
    waitFor(
        [this] {
            return m_state != State::Connecting ||
                   m_socket.state() == QAbstractSocket::ConnectedState;
        },
        ConnectTimeout);
    if (m_state == State::Connecting && m_socket.state() == QAbstractSocket::ConnectedState) {
        m_state = State::Negotiating;
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        qCDebug(lcLineTrace, "%.3f ms connected to %s", linetrace::millisecondsSinceStart(),
                qUtf8Printable(m_address.where()));
        return true;
    }
    if (m_state == State::Connecting) // nothing came back in time
        return refuse(
            PortProblem::Kind::NoAnswer,
            tr("no answer to the connection within %1 s").arg(ConnectTimeout.count() / 1000));
    return false; // refused or closed meanwhile; the problem is set
}

// Settings go out once the server has taken the COM-PORT option, and the line counts as
// open only once the server has confirmed each of them. DTR, RTS and flow control are
// not waited for: a server may never answer those.
bool NetworkConnection::negotiate(const LineSettings &settings)
{
    QDeadlineTimer deadline(SettingsTimeout, Qt::PreciseTimer);
    if (!sendRaw(m_codec.start()))
        return refuseUnsent();
    const auto remaining = [&deadline] {
        return std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime()));
    };
    waitFor([this] { return m_comPortAccepted || m_comPortRefused; }, remaining());
    if (m_state != State::Negotiating)
        return false;
    if (m_comPortRefused)
        return refuse(PortProblem::Kind::SettingsRefused,
                      tr("the server refused the COM-PORT option (RFC 2217)"));
    if (!m_comPortAccepted)
        return refuse(PortProblem::Kind::SettingsRefused,
                      tr("the server did not take the COM-PORT option within %1 s")
                          .arg(SettingsTimeout.count() / 1000));

    const std::uint8_t parity = parityValue(settings.parity);
    const QByteArray requests =
        TelnetCodec::setBaudRate(static_cast<quint32>(settings.baud)) +
        TelnetCodec::request(TelnetCodec::SetDataSize,
                             static_cast<std::uint8_t>(settings.dataBits)) +
        TelnetCodec::request(TelnetCodec::SetParity, parity) +
        TelnetCodec::request(TelnetCodec::SetStopSize,
                             static_cast<std::uint8_t>(settings.stopBits)) +
        TelnetCodec::request(TelnetCodec::SetControl, TelnetCodec::NoFlowControl);
    qCDebug(lcLineTrace,
            "%.3f ms settings sent: %d baud, %d data bits, parity %s, %d stop bit%s, "
            "no flow control",
            linetrace::millisecondsSinceStart(), settings.baud, settings.dataBits,
            qUtf8Printable(parityName(settings.parity)), settings.stopBits,
            settings.stopBits == 1 ? "" : "s");
    if (!sendRaw(requests))
        return refuseUnsent();

    const QList<std::pair<TelnetCodec::Request, quint32>> wanted{
        {TelnetCodec::SetBaudRate, static_cast<quint32>(settings.baud)},
        {TelnetCodec::SetDataSize, static_cast<quint32>(settings.dataBits)},
        {TelnetCodec::SetParity, parity},
        {TelnetCodec::SetStopSize, static_cast<quint32>(settings.stopBits)}};
    // The last answer to each request counts; a wrong value is not taken.
    const auto answered = [this](TelnetCodec::Request request) -> std::optional<quint32> {
        for (auto it = m_confirmed.crbegin(); it != m_confirmed.crend(); ++it) {
            if (it->request == request)
                return it->value;
        }
        return std::nullopt;
    };
    const auto allAnswered = [&] {
        return std::all_of(wanted.cbegin(), wanted.cend(),
                           [&](const auto &asked) { return answered(asked.first).has_value(); });
    };
    waitFor(allAnswered, remaining());
    if (m_state != State::Negotiating)
        return false;
    QStringList notTaken;
    for (const auto &[request, value] : wanted) {
        const std::optional<quint32> got = answered(request);
        if (!got)
            notTaken << tr("no answer to request %1").arg(request);
        else if (*got != value)
            notTaken << tr("asked %1 for request %2, got %3").arg(value).arg(request).arg(*got);
    }
    if (!notTaken.isEmpty())
        return refuse(PortProblem::Kind::SettingsRefused,
                      tr("the server did not take the settings within %1 s (%2)")
                          .arg(SettingsTimeout.count() / 1000)
                          .arg(notTaken.join(QStringLiteral("; "))));
    qCDebug(lcLineTrace,
            "%.3f ms settings confirmed: %d baud, %d data bits, parity %s, %d stop bit%s",
            linetrace::millisecondsSinceStart(), settings.baud, settings.dataBits,
            qUtf8Printable(parityName(settings.parity)), settings.stopBits,
            settings.stopBits == 1 ? "" : "s");
    return true;
}

// Lets the event loop run, the window live, until `done` or the limit; a close() meanwhile
// ends the wait too.
bool NetworkConnection::waitFor(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const State waitingIn = m_state;
    QDeadlineTimer deadline(limit, Qt::PreciseTimer);
    m_wake.start(limit);
    while (!done() && m_state == waitingIn && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    m_wake.stop();
    return done();
}

bool NetworkConnection::refuse(PortProblem::Kind kind, const QString &reason)
{
    PortProblem problem;
    problem.kind = kind;
    problem.device = m_device;
    problem.systemReason = reason;
    setProblem(problem);
    qCDebug(lcLineTrace, "%.3f ms open failed: %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(reason));
    m_state = State::Failed;
    m_socket.abort();
    return false;
}

// A write during the negotiation failed before the socket said why.
bool NetworkConnection::refuseUnsent()
{
    if (m_state != State::Negotiating)
        return false; // refused or closed already
    return refuse(PortProblem::Kind::Other,
                  tr("sending to %1 failed: %2").arg(m_address.where(), m_socket.errorString()));
}

void NetworkConnection::close()
{
    shutDown();
}

void NetworkConnection::shutDown()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_socket.abort();
    m_received.clear();
}

bool NetworkConnection::discard()
{
    pull();
    m_received.clear();
    if (m_address.kind != LineAddress::Kind::Rfc2217)
        return true;
    if (m_purgePending && m_serverAnswersPurges) {
        // A whole exchange went by without an answer: this server does not confirm
        // purges, and waiting for one would drop every reply from now on.
        m_serverAnswersPurges = false;
        qCDebug(lcLineTrace,
                "%.3f ms the server does not confirm purges; from now on only "
                "what waits here is dropped",
                linetrace::millisecondsSinceStart());
    }
    m_purgePending = m_serverAnswersPurges;
    m_droppedByPurge = 0;
    qCDebug(lcLineTrace, "%.3f ms purge sent", linetrace::millisecondsSinceStart());
    return sendRaw(TelnetCodec::request(TelnetCodec::PurgeData, TelnetCodec::PurgeReceiveBuffer));
}

qint64 NetworkConnection::count()
{
    pull();
    return isOpen() ? m_received.size() : -1;
}

bool NetworkConnection::write(const QByteArray &bytes)
{
    const bool telnet = m_address.kind == LineAddress::Kind::Rfc2217;
    return sendRaw(telnet ? TelnetCodec::escape(bytes) : bytes);
}

std::optional<char> NetworkConnection::readByte()
{
    pull();
    if (!isOpen() || m_received.isEmpty())
        return std::nullopt;
    const char byte = m_received.at(0);
    m_received.remove(0, 1);
    return byte;
}

QByteArray NetworkConnection::peek(qint64 maxBytes)
{
    pull();
    return m_received.left(maxBytes);
}

QString NetworkConnection::openNote() const
{
    if (m_address.kind != LineAddress::Kind::RawSocket)
        return QString();
    return tr("the server sets the speed, not rollcall");
}

// Takes what the kernel holds now, so a count at the end of a reply window sees what
// arrived up to that moment, as FIONREAD does for a serial device.
void NetworkConnection::pull()
{
    if (m_state != State::Open)
        return;
#ifdef Q_OS_UNIX
    int inKernel = 0;
    if (::ioctl(static_cast<int>(m_socket.socketDescriptor()), FIONREAD, &inKernel) != 0 ||
        inKernel <= 0)
        return;
#endif
    m_socket.waitForReadyRead(0);
    // Qt emits readyRead only once at a time: what it read while one was being handled
    // waits in its buffer.
    if (m_socket.bytesAvailable() > 0)
        onReadyRead();
}

void NetworkConnection::onReadyRead()
{
    const QByteArray bytes = m_socket.readAll();
    if (m_address.kind != LineAddress::Kind::Rfc2217) {
        keep(bytes);
        return;
    }
    const QByteArray data = m_codec.receive(bytes);
    const QByteArray answers = m_codec.takeAnswers();
    if (!answers.isEmpty())
        sendRaw(answers);
    onTelnetEvents(data);
}

void NetworkConnection::onTelnetEvents(const QByteArray &data)
{
    qsizetype kept = 0; // line bytes of `data` dealt with so far
    for (const TelnetCodec::Event &event : m_codec.takeEvents()) {
        switch (event.kind) {
        case TelnetCodec::Event::Kind::ComPortAccepted:
            m_comPortAccepted = true;
            break;
        case TelnetCodec::Event::Kind::ComPortRefused:
            m_comPortRefused = true;
            break;
        case TelnetCodec::Event::Kind::Nonsense:
            qCDebug(lcLineTrace, "%.3f ms a COM-PORT answer that makes no sense, ignored",
                    linetrace::millisecondsSinceStart());
            break;
        case TelnetCodec::Event::Kind::Confirmed:
            if (event.request != TelnetCodec::PurgeData) {
                if (m_confirmed.size() < 64)
                    m_confirmed.append(event);
                break;
            }
            // What came before the purge's answer was in the server before the purge.
            keep(data.mid(kept, event.position - kept));
            kept = event.position;
            if (m_purgePending) {
                m_purgePending = false;
                qCDebug(lcLineTrace, "%.3f ms purge confirmed, %lld stale bytes dropped",
                        linetrace::millisecondsSinceStart(),
                        static_cast<long long>(m_droppedByPurge));
            }
            break;
        }
    }
    keep(data.mid(kept));
}

void NetworkConnection::keep(const QByteArray &data)
{
    if (data.isEmpty())
        return;
    if (m_purgePending) {
        m_droppedByPurge += data.size();
        return;
    }
    m_received.append(data.left(ReceiveLimit - m_received.size()));
}

void NetworkConnection::onSocketError(QAbstractSocket::SocketError error)
{
    const QString where = m_address.where();
    switch (m_state) {
    case State::Connecting:
        if (error == QAbstractSocket::ConnectionRefusedError)
            refuse(PortProblem::Kind::NotListening, m_socket.errorString());
        else if (error == QAbstractSocket::HostNotFoundError)
            refuse(PortProblem::Kind::UnknownHost,
                   tr("%1: %2").arg(m_address.host, m_socket.errorString()));
        else
            refuse(PortProblem::Kind::Other,
                   tr("connecting to %1 failed: %2").arg(where, m_socket.errorString()));
        break;
    case State::Negotiating:
        refuse(PortProblem::Kind::Other,
               tr("the connection to %1 failed: %2").arg(where, m_socket.errorString()));
        break;
    case State::Open:
        if (error != QAbstractSocket::SocketTimeoutError)
            fail(m_socket.errorString());
        break;
    case State::Closed:
    case State::Failed:
        break;
    }
}

void NetworkConnection::fail(const QString &reason)
{
    if (m_state == State::Negotiating) {
        refuse(PortProblem::Kind::Other, reason);
        return;
    }
    if (m_state != State::Open)
        return;
    m_state = State::Failed;
    qCDebug(lcLineTrace, "%.3f ms connection to %s lost", linetrace::millisecondsSinceStart(),
            qUtf8Printable(m_address.where()));
    emit failed(reason);
}

bool NetworkConnection::sendRaw(const QByteArray &bytes)
{
    if (m_state != State::Open && m_state != State::Negotiating)
        return false;
    if (m_socket.write(bytes) != bytes.size())
        return false;
    m_socket.flush();
    // A server that takes nothing for a whole second has stalled.
    while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(1000)) {
    }
    return (m_state == State::Open || m_state == State::Negotiating) &&
           m_socket.bytesToWrite() == 0;
}
