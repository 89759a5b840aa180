#include "line/networkconnection.h"

#include "line/linetrace.h"
#include "line/systemqueue.h"

#include <algorithm>
#include <utility>

NetworkConnection::NetworkConnection(LineAddress address, QString device, QObject *parent)
    : LineConnection(parent), m_address(std::move(address)), m_device(std::move(device))
{
    m_socket.setReadBufferSize(ReceiveLimit);
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    connect(&m_deadline, &QTimer::timeout, this, &NetworkConnection::onDeadline);
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_drainTimer, &QTimer::timeout, this, &NetworkConnection::onDrainTimer);
    connect(&m_socket, &QTcpSocket::connected, this, &NetworkConnection::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &NetworkConnection::onReadyRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &NetworkConnection::onSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, &NetworkConnection::onDisconnected);
    m_clock.start();
}

NetworkConnection::~NetworkConnection()
{
    shutDown();
}

void NetworkConnection::open(const LineSettings &settings)
{
    shutDown();
    m_settings = settings;
    m_session.reset();
    m_wireFreeAt = std::chrono::microseconds(0);
    setProblem(PortProblem());
    qCDebug(lcLineTrace, "%.3f ms connecting: %s %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(m_address.kindName()), qUtf8Printable(m_address.where()));
    m_state = State::Connecting;
    m_deadline.start(ConnectTimeout);
    m_socket.connectToHost(m_address.host, m_address.port);
}

void NetworkConnection::onConnected()
{
    if (m_state != State::Connecting)
        return;
    m_deadline.stop();
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    setKeepAlive();
    qCDebug(lcLineTrace, "%.3f ms connected to %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(m_address.where()));
    if (m_address.kind != LineAddress::Kind::Rfc2217) {
        m_state = State::Open;
        emit opened();
        return;
    }
    m_state = State::Negotiating;
    m_session = std::make_unique<Rfc2217Session>(m_settings,
                                                 QStringLiteral("socket://") + m_address.where());
    m_session->start(now());
    afterSession();
}

// So a peer that went away unannounced (a server switched off, a cable pulled) shows up,
// even on a connection where nothing is sent.
void NetworkConnection::setKeepAlive()
{
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    setKeepAliveTimes();
}

// What the session decided, carried out: its bytes sent, its notes traced, its state taken
// on, and its next deadline set.
void NetworkConnection::afterSession()
{
    if (!m_session)
        return;
    for (const QString &note : m_session->takeNotes())
        qCDebug(lcLineTrace, "%.3f ms %s", linetrace::millisecondsSinceStart(),
                qUtf8Printable(note));
    const QByteArray outgoing = m_session->takeOutgoing();
    if (!outgoing.isEmpty() && !sendRaw(outgoing) && m_state != State::Failed &&
        m_state != State::Closed) {
        const QString reason =
            tr("sending to %1 failed: %2").arg(m_address.where(), m_socket.errorString());
        if (m_state == State::Negotiating)
            refuse(PortProblem::Kind::Other, reason);
        else
            fail(PortProblem::Kind::ConnectionLost, reason);
        return;
    }
    switch (m_session->state()) {
    case Rfc2217Session::State::Negotiating:
        break;
    case Rfc2217Session::State::Open:
        if (m_state == State::Negotiating) {
            m_state = State::Open;
            emit opened();
        } else if (m_drain == Drain::AwaitingServer && !m_session->isDraining()) {
            onServerHasTheBytes();
        }
        break;
    case Rfc2217Session::State::Failed: {
        const bool stalled = m_session->failure() == Rfc2217Session::Failure::Stalled;
        const qint64 seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Rfc2217Session::StallBound).count();
        QString reason = m_session->failureReason();
        if (stalled && m_drain == Drain::AwaitingServer)
            reason =
                tr("the server did not answer for %1 s after the bytes sent to it").arg(seconds);
        else if (stalled)
            reason = tr("the server confirmed purges when the line opened, then none for %1 s")
                         .arg(seconds);
        if (m_state == State::Negotiating)
            refuse(m_session->failure() == Rfc2217Session::Failure::Closed
                       ? PortProblem::Kind::Other
                       : PortProblem::Kind::SettingsRefused,
                   reason);
        else if (m_state == State::Open)
            fail(stalled ? PortProblem::Kind::Stalled : PortProblem::Kind::ConnectionLost, reason);
        return;
    }
    }
    scheduleDeadline();
}

void NetworkConnection::scheduleDeadline()
{
    const std::optional<Rfc2217Session::Time> due = m_session->nextDeadline();
    if (!due) {
        m_deadline.stop();
        return;
    }
    // Never early: the timer may fire a little late, the session decides by the clock.
    m_deadline.start(std::max(*due - now(), Rfc2217Session::Time(0)));
}

void NetworkConnection::onDeadline()
{
    if (m_state == State::Connecting) {
        refuse(PortProblem::Kind::NoAnswer,
               tr("no answer to the connection within %1 s")
                   .arg(std::chrono::duration_cast<std::chrono::seconds>(ConnectTimeout).count()));
        return;
    }
    if (!m_session || (m_state != State::Negotiating && m_state != State::Open))
        return;
    m_session->advance(now());
    afterSession();
}

void NetworkConnection::refuse(PortProblem::Kind kind, const QString &reason)
{
    setProblem(PortProblem{kind, m_device, reason});
    qCDebug(lcLineTrace, "%.3f ms open failed: %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(reason));
    shutDown();
    m_state = State::Failed;
    emit openFailed();
}

void NetworkConnection::fail(PortProblem::Kind kind, const QString &reason)
{
    if (m_state != State::Open)
        return;
    m_state = State::Failed;
    m_deadline.stop();
    m_drainTimer.stop();
    m_drain = Drain::Idle;
    setProblem(PortProblem{kind, m_device, reason});
    qCDebug(lcLineTrace, "%.3f ms connection to %s lost: %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(m_address.where()), qUtf8Printable(reason));
    emit lost();
}

void NetworkConnection::close()
{
    shutDown();
}

void NetworkConnection::shutDown()
{
    m_deadline.stop();
    m_drainTimer.stop();
    m_drain = Drain::Idle;
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
    if (!isOpen())
        return false;
    if (m_session) {
        m_session->purge(now());
        afterSession();
    }
    return isOpen();
}

qint64 NetworkConnection::count()
{
    pull();
    return isOpen() ? m_received.size() : -1;
}

bool NetworkConnection::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    m_wireFreeAt = std::max(m_wireFreeAt, sinceStart()) + m_settings.timeOnTheWire(bytes.size());
    if (!m_session)
        return sendRaw(bytes);
    m_session->send(bytes);
    afterSession();
    return isOpen();
}

void NetworkConnection::drain()
{
    if (!isOpen())
        return;
    m_drain = Drain::AwaitingServer;
    m_drainTimer.stop();
    m_drainStartedAt = now();
    m_drainWireTime = std::max(m_wireFreeAt - sinceStart(), std::chrono::microseconds(0));
    if (m_session) {
        m_session->drain(m_drainStartedAt);
        afterSession();
    } else {
        onDrainTimer(); // the acknowledgement may be there already
    }
}

void NetworkConnection::onDrainTimer()
{
    switch (m_drain) {
    case Drain::Idle:
        return;
    case Drain::AwaitingServer: // a raw socket's acknowledgement; a session answers itself
        if (unacknowledged() == 0) {
            onServerHasTheBytes();
        } else if (now() - m_drainStartedAt >= Rfc2217Session::StallBound) {
            fail(PortProblem::Kind::Stalled,
                 tr("the bytes sent were not acknowledged for %1 s")
                     .arg(std::chrono::duration_cast<std::chrono::seconds>(
                              Rfc2217Session::StallBound)
                              .count()));
        } else {
            m_drainTimer.start(AcknowledgementPoll);
        }
        return;
    case Drain::OnTheWire:
        m_drain = Drain::Idle;
        emit drained();
        return;
    }
}

void NetworkConnection::onServerHasTheBytes()
{
    m_drain = Drain::OnTheWire;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_drainWireTime + WireMargin);
    qCDebug(lcLineTrace, "%.3f ms the server has the bytes; %lld ms more for the wire",
            linetrace::millisecondsSinceStart(), static_cast<long long>(wait.count()));
    m_drainTimer.start(wait);
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
    if (SystemQueue::waiting(m_socket) > 0)
        m_socket.waitForReadyRead(0); // reads what is there, waits for nothing
    // Qt emits readyRead only once at a time: what it read while one was being handled
    // waits in its buffer.
    if (m_socket.bytesAvailable() > 0)
        onReadyRead();
}

void NetworkConnection::onReadyRead()
{
    if (m_state != State::Open && m_state != State::Negotiating)
        return;
    const QByteArray bytes = m_socket.readAll();
    if (!m_session) {
        keep(bytes);
        return;
    }
    keep(m_session->receive(bytes, now()));
    afterSession();
}

void NetworkConnection::keep(const QByteArray &data)
{
    if (m_state == State::Open)
        m_received.append(data.left(ReceiveLimit - m_received.size()));
}

void NetworkConnection::onDisconnected()
{
    if (m_state != State::Negotiating && m_state != State::Open)
        return;
    if (m_session) {
        // What it said before it closed may be all there is to know.
        onReadyRead();
        if (!m_session)
            return;
        m_session->serverClosed();
        afterSession();
    } else {
        fail(PortProblem::Kind::ConnectionLost, tr("the server closed the connection"));
    }
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
    case State::Open:
        // The server's own close is told, with its words, by onDisconnected().
        if (error == QAbstractSocket::RemoteHostClosedError ||
            error == QAbstractSocket::SocketTimeoutError)
            break;
        if (m_state == State::Negotiating)
            refuse(PortProblem::Kind::Other,
                   tr("the connection to %1 failed: %2").arg(where, m_socket.errorString()));
        else
            fail(PortProblem::Kind::ConnectionLost, m_socket.errorString());
        break;
    case State::Closed:
    case State::Failed:
        break;
    }
}

// Hands the bytes to the system; a server that takes nothing for SystemQueue::WriteLimit
// has stalled.
bool NetworkConnection::sendRaw(const QByteArray &bytes)
{
    if (m_state != State::Open && m_state != State::Negotiating)
        return false;
    if (m_socket.write(bytes) != bytes.size())
        return false;
    const bool handedOver = SystemQueue::handOver(m_socket);
    return (m_state == State::Open || m_state == State::Negotiating) && handedOver;
}

Rfc2217Session::Time NetworkConnection::now() const
{
    return Rfc2217Session::Time(m_clock.elapsed());
}

std::chrono::microseconds NetworkConnection::sinceStart() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::nanoseconds(m_clock.nsecsElapsed()));
}
