#include "line/line.h"

#include "line/lineaddress.h"
#include "line/linetrace.h"
#include "line/networkconnection.h"
#include "line/serialdevice.h"

#include <QPointer>

#include <utility>

Line::Line(QObject *parent) : Line(PortMap(), parent) {}

Line::Line(PortMap ports, QObject *parent) : QObject(parent), m_ports(std::move(ports)) {}

Line::~Line()
{
    close();
}

void Line::choosePort(int port)
{
    if (state() == State::Closed)
        m_portNumber = port;
}

void Line::setDevice(int port, const QString &device)
{
    m_ports.setDevice(port, device);
}

bool Line::setSettings(const LineSettings &settings)
{
    if (state() != State::Closed)
        return false;
    m_settings = settings;
    return true;
}

QString Line::device() const
{
    return m_ports.deviceFor(m_portNumber);
}

bool Line::open()
{
    retire();
    m_lost = false;
    m_problem = PortProblem();
    const QString device = this->device();
    QString whyNot;
    const std::optional<LineAddress> address = LineAddress::parse(device, &whyNot);
    if (!address) {
        refuse(whyNot);
        return false;
    }
    if (address->isNetwork())
        m_connection = new NetworkConnection(*address, device, this);
    else
        m_connection = new SerialDevice(device, this);
    connect(m_connection, &LineConnection::opened, this, &Line::onOpened);
    connect(m_connection, &LineConnection::openFailed, this, &Line::onOpenFailed);
    connect(m_connection, &LineConnection::lost, this, &Line::onLost);
    connect(m_connection, &LineConnection::drained, this, &Line::onDrained);
    m_connection->open(m_settings);
    return isOpen();
}

void Line::refuse(const QString &reason)
{
    PortProblem invalid;
    invalid.kind = PortProblem::Kind::Other;
    invalid.device = device();
    invalid.systemReason = reason;
    m_problem = invalid;
    emit openFailed();
}

void Line::onOpened()
{
    qCDebug(lcLineTrace, "%.3f ms port opened: %s at %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(device()), qUtf8Printable(m_settings.text()));
    emit opened();
}

void Line::onOpenFailed()
{
    m_problem = m_connection->problem();
    retire();
    emit openFailed();
}

// The connection is let go of at once and deleted once control is back in the event
// loop: it may be failing inside its own signal.
void Line::retire()
{
    if (!m_connection)
        return;
    m_connection->disconnect(this);
    m_connection->close();
    m_connection->deleteLater();
    m_connection = nullptr;
}

void Line::close()
{
    if (!m_connection)
        return;
    const bool wasOpen = m_connection->isOpen() || m_lost;
    retire();
    m_lost = false; // the line is closed now, and said so once
    if (wasOpen)
        qCDebug(lcLineTrace, "%.3f ms port closed", linetrace::millisecondsSinceStart());
}

Line::State Line::state() const
{
    if (!m_connection || m_lost)
        return State::Closed;
    if (m_connection->isOpen())
        return State::Open;
    return m_connection->problem().isProblem() ? State::Closed : State::Opening;
}

QString Line::openNote() const
{
    return isOpen() ? m_connection->openNote() : QString();
}

bool Line::discard()
{
    return isOpen() && m_connection->discard() && isOpen();
}

qint64 Line::count()
{
    if (state() == State::Opening)
        return 0;
    if (!isOpen())
        return -1;
    const qint64 waiting = m_connection->count();
    return isOpen() ? waiting : -1;
}

bool Line::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    // Before the write, so the reply window that starts once it is handed over is not
    // made longer by the trace.
    qCDebug(lcLineTrace, "%.3f ms write %s", linetrace::millisecondsSinceStart(),
            linetrace::hex(bytes).constData());
    if (m_connection->write(bytes) && isOpen())
        return true;
    if (!m_problem.isProblem())
        m_problem = m_connection->problem();
    return false;
}

std::optional<char> Line::readByte()
{
    return isOpen() ? m_connection->readByte() : std::nullopt;
}

QByteArray Line::peek(qint64 maxBytes)
{
    return isOpen() ? m_connection->peek(maxBytes) : QByteArray();
}

void Line::drain()
{
    if (!isOpen())
        return;
    qCDebug(lcLineTrace, "%.3f ms drain", linetrace::millisecondsSinceStart());
    m_connection->drain();
}

bool Line::isDraining() const
{
    return isOpen() && m_connection->isDraining();
}

void Line::onDrained()
{
    qCDebug(lcLineTrace, "%.3f ms drained", linetrace::millisecondsSinceStart());
    emit drained();
}

void Line::onLost()
{
    if (m_lost || !m_connection)
        return;
    m_lost = true;
    m_problem = m_connection->problem();
    qCDebug(lcLineTrace, "%.3f ms port lost: %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(m_problem.systemReason));
    // Closing inside Qt's own notifier callback is not safe; the flag above already
    // makes every operation refuse, the close follows on the next event-loop pass. It
    // is for the line that failed: a port reopened meanwhile stays open.
    QMetaObject::invokeMethod(
        this,
        [this, failed = QPointer<LineConnection>(m_connection)] {
            if (failed && failed == m_connection)
                close();
        },
        Qt::QueuedConnection);
    emit lost();
}
