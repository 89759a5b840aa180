#include "line/line.h"

#include "line/lineaddress.h"
#include "line/linetrace.h"
#include "line/networkconnection.h"
#include "line/serialdevice.h"

#include <QStringList>

#include <utility>

Line::Line(QObject *parent) : Line(PortMap(), parent) {}

Line::Line(PortMap ports, QObject *parent)
    : QObject(parent), m_ports(std::move(ports)), m_settings(QStringLiteral("9600,N,8,1"))
{}

Line::~Line()
{
    close();
}

void Line::choosePort(int port)
{
    if (!isOpen())
        m_portNumber = port;
}

void Line::setDevice(int port, const QString &device)
{
    m_ports.setDevice(port, device);
}

bool Line::setSettings(const QString &settings)
{
    if (isOpen() || !LineSettings::parse(settings))
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
    if (isOpen())
        return true;
    close();
    const QString device = this->device();
    const auto fail = [this, &device](const QString &reason) {
        PortProblem invalid;
        invalid.kind = PortProblem::Kind::Other;
        invalid.device = device;
        invalid.systemReason = reason;
        m_problem = invalid;
        return false;
    };
    const std::optional<LineSettings> settings = LineSettings::parse(m_settings);
    if (!settings)
        return fail(tr("line settings %1 are not valid").arg(m_settings));
    QString whyNot;
    const std::optional<LineAddress> address = LineAddress::parse(device, &whyNot);
    if (!address)
        return fail(whyNot);

    // A connection being opened further down the stack (a radio clicked while a server
    // was being connected) is retired, not destroyed, until no open is in progress.
    if (m_openDepth == 0)
        m_retired.clear();
    if (m_connection) {
        m_connection->disconnect(this);
        m_retired.push_back(std::move(m_connection));
    }
    if (address->isNetwork())
        m_connection = std::make_unique<NetworkConnection>(*address, device);
    else
        m_connection = std::make_unique<SerialDevice>(device);
    connect(m_connection.get(), &LineConnection::failed, this, &Line::markLost);
    LineConnection *opening = m_connection.get();
    ++m_openDepth;
    const bool opened = opening->open(*settings);
    --m_openDepth;
    if (opening != m_connection.get()) // another open took over meanwhile and decided
        return isOpen();
    if (!opened) {
        m_problem = opening->problem();
        return false;
    }
    m_lost = false;
    ++m_openings;
    m_problem = PortProblem();
    qCDebug(lcLineTrace, "%.3f ms port opened: %s at %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(device), qUtf8Printable(m_settings));
    return true;
}

void Line::close()
{
    if (!m_connection)
        return;
    const bool wasOpen = m_connection->isOpen() || m_lost;
    m_connection->close();
    m_lost = false; // the line is closed now, and said so once
    if (wasOpen)
        qCDebug(lcLineTrace, "%.3f ms port closed", linetrace::millisecondsSinceStart());
}

bool Line::isOpen() const
{
    return m_connection && m_connection->isOpen() && !m_lost;
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

void Line::markLost(const QString &reason)
{
    if (m_lost || !m_connection)
        return;
    m_lost = true;
    PortProblem gone;
    const std::optional<LineAddress> address = LineAddress::parse(device());
    gone.kind = address && address->isNetwork() ? PortProblem::Kind::ConnectionLost
                                                : PortProblem::Kind::Unplugged;
    gone.device = device();
    gone.systemReason = reason;
    m_problem = gone;
    qCDebug(lcLineTrace, "%.3f ms port lost: %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(gone.systemReason));
    // Closing inside Qt's own notifier callback is not safe; the flag above already
    // makes every operation refuse, the close follows on the next event-loop pass. It
    // is for the line that failed: a port reopened meanwhile stays open.
    QMetaObject::invokeMethod(
        this,
        [this, failedOpening = m_openings] {
            if (m_openings != failedOpening)
                return;
            close();
        },
        Qt::QueuedConnection);
    emit lost();
}
