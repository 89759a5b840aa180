#include "bus/serialline.h"

#include "bus/linetrace.h"
#include "bus/portdiagnosis.h"

#include <QStringList>

#include <utility>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#endif

namespace {

struct LineSettings
{
    qint32 baud = 0;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

std::optional<LineSettings> parseSettings(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    LineSettings s;
    bool ok = false;
    s.baud = parts[0].toInt(&ok);
    if (!ok || s.baud <= 0)
        return std::nullopt;

    const QString parity = parts[1].toUpper();
    if (parity == QLatin1String("N"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        s.parity = QSerialPort::OddParity;
    else
        return std::nullopt;

    const int bits = parts[2].toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return std::nullopt;
    s.dataBits = static_cast<QSerialPort::DataBits>(bits);

    const QString &stop = parts[3];
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return s;
}

// Errors Qt reports that say nothing about the health of the port: a pty refuses
// DTR/RTS, a zero-timeout wait with nothing pending times out, and open() announces
// success with NoError.
bool isHarmless(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::NoError || error == QSerialPort::TimeoutError ||
           error == QSerialPort::UnsupportedOperationError;
}

} // namespace

SerialLine::SerialLine(QObject *parent) : SerialLine(PortMap(), parent) {}

SerialLine::SerialLine(PortMap ports, QObject *parent)
    : QObject(parent), m_ports(std::move(ports)), m_settings(QStringLiteral("9600,N,8,1"))
{
    m_serial.setReadBufferSize(ReceiveBufferSize);
    connect(&m_serial, &QSerialPort::errorOccurred, this, &SerialLine::onError);
    connect(&m_hangupWatch, &HangupWatch::hungUp, this, &SerialLine::markLost);
}

SerialLine::~SerialLine()
{
    close();
}

void SerialLine::choosePort(int port)
{
    if (!isOpen())
        m_portNumber = port;
}

void SerialLine::setDevice(int port, const QString &device)
{
    m_ports.setDevice(port, device);
}

bool SerialLine::setSettings(const QString &settings)
{
    if (isOpen() || !parseSettings(settings))
        return false;
    m_settings = settings;
    return true;
}

QString SerialLine::device() const
{
    return m_ports.deviceFor(m_portNumber);
}

bool SerialLine::open()
{
    if (isOpen())
        return true;
    const std::optional<LineSettings> s = parseSettings(m_settings);
    if (!s) {
        PortProblem invalid;
        invalid.kind = PortProblem::Kind::Other;
        invalid.device = device();
        invalid.systemReason = tr("line settings %1 are not valid").arg(m_settings);
        setProblem(invalid);
        return false;
    }
    const PortProblem byPath = PortDiagnosis::beforeOpen(device());
    if (byPath.isProblem()) {
        setProblem(byPath);
        return false;
    }
    m_serial.setPortName(device());
    m_serial.setBaudRate(s->baud);
    m_serial.setParity(s->parity);
    m_serial.setDataBits(s->dataBits);
    m_serial.setStopBits(s->stopBits);

    m_opening = true;
    const bool opened = m_serial.open(QIODevice::ReadWrite);
    m_opening = false;
    if (!opened) {
        setProblem(
            PortDiagnosis::afterFailedOpen(device(), m_serial.error(), m_serial.errorString()));
        m_serial.clearError();
        return false;
    }
    m_serial.clearError();
    m_lost = false;
    ++m_openings;
#ifdef Q_OS_UNIX
    m_hangupWatch.watch(m_serial.handle());
#endif
    setProblem(PortProblem());
    qCDebug(lcLineTrace, "%.3f ms port opened: %s at %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(device()), qUtf8Printable(m_settings));
    return true;
}

void SerialLine::close()
{
    m_hangupWatch.stop();
    if (!m_serial.isOpen())
        return;
    m_serial.close();
    qCDebug(lcLineTrace, "%.3f ms port closed", linetrace::millisecondsSinceStart());
}

bool SerialLine::isOpen() const
{
    return m_serial.isOpen() && !m_lost;
}

bool SerialLine::discard()
{
    if (!isOpen())
        return false;
    m_serial.clear(QSerialPort::Input);
    // Qt stops reading from the device once its buffer is full and only resumes on a
    // read; setting the size again resumes it after the buffer was emptied here.
    m_serial.setReadBufferSize(ReceiveBufferSize);
    return isOpen();
}

qint64 SerialLine::count()
{
    if (!isOpen())
        return -1;
    qint64 waiting = m_serial.bytesAvailable();
#ifdef Q_OS_UNIX
    int inKernel = 0;
    if (::ioctl(m_serial.handle(), FIONREAD, &inKernel) == 0 && inKernel > 0)
        waiting += inKernel;
#endif
    return waiting;
}

bool SerialLine::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    // Before the write, so the reply window that starts once it is handed over is not
    // made longer by the trace.
    qCDebug(lcLineTrace, "%.3f ms write %s", linetrace::millisecondsSinceStart(),
            linetrace::hex(bytes).constData());
    if (m_serial.write(bytes) == bytes.size()) {
        m_serial.flush();
        // A device that takes nothing for a whole second has stalled.
        while (isOpen() && m_serial.bytesToWrite() > 0 && m_serial.waitForBytesWritten(1000)) {
        }
        if (isOpen() && m_serial.bytesToWrite() == 0)
            return true;
    }
    // A device that takes no byte for a whole second is as good as gone.
    if (!m_problem.isProblem()) {
        PortProblem stalled;
        stalled.kind = PortProblem::Kind::Unplugged;
        stalled.device = device();
        stalled.systemReason = tr("writing failed: %1").arg(m_serial.errorString());
        setProblem(stalled);
    }
    return false;
}

std::optional<char> SerialLine::readByte()
{
    if (!isOpen())
        return std::nullopt;
    if (m_serial.bytesAvailable() == 0)
        m_serial.waitForReadyRead(0); // pulls what the kernel holds into Qt's buffer
    char byte = 0;
    if (!isOpen() || !m_serial.getChar(&byte))
        return std::nullopt;
    return byte;
}

QByteArray SerialLine::peek(qint64 maxBytes)
{
    if (!isOpen())
        return QByteArray();
    if (m_serial.bytesAvailable() < maxBytes)
        m_serial.waitForReadyRead(0); // into Qt's buffer, where readByte() takes it from
    return isOpen() ? m_serial.peek(maxBytes) : QByteArray();
}

void SerialLine::onError(QSerialPort::SerialPortError error)
{
    // clearError() itself reports NoError, so it must never be called from here.
    if (isHarmless(error) || m_opening)
        return;
    // Whatever Qt calls it, a device failing under an open port has gone away: a pulled
    // adapter, a pty whose master closed.
    markLost(m_serial.errorString());
}

void SerialLine::markLost(const QString &reason)
{
    if (m_lost || !m_serial.isOpen())
        return;
    m_lost = true;
    m_hangupWatch.stop();
    PortProblem gone;
    gone.kind = PortProblem::Kind::Unplugged;
    gone.device = device();
    gone.systemReason = reason;
    setProblem(gone);
    qCDebug(lcLineTrace, "%.3f ms port lost: %s", linetrace::millisecondsSinceStart(),
            qUtf8Printable(gone.systemReason));
    // Closing inside Qt's own notifier callback is not safe; the flag above already
    // makes every operation refuse, the close follows on the next event-loop pass. It
    // is for the device that failed: a port reopened meanwhile stays open.
    QMetaObject::invokeMethod(
        this,
        [this, failedOpening = m_openings] {
            if (m_openings != failedOpening)
                return;
            close();
            m_serial.clearError();
        },
        Qt::QueuedConnection);
    emit lost();
}

void SerialLine::setProblem(const PortProblem &problem)
{
    m_problem = problem;
}
