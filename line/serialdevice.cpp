#include "line/serialdevice.h"

#include "line/portdiagnosis.h"
#include "line/portmap.h"
#include "line/systemqueue.h"

#include <utility>

namespace {

// Errors Qt reports that say nothing about the health of the port: a pty refuses
// DTR/RTS, a zero-timeout wait with nothing pending times out, and open() announces
// success with NoError.
bool isHarmless(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::NoError || error == QSerialPort::TimeoutError ||
           error == QSerialPort::UnsupportedOperationError;
}

} // namespace

SerialDevice::SerialDevice(QString device, QObject *parent)
    : LineConnection(parent), m_device(std::move(device))
{
    m_serial.setReadBufferSize(ReceiveBufferSize);
    connect(&m_serial, &QSerialPort::errorOccurred, this, &SerialDevice::onError);
    connect(&m_hangupWatch, &HangupWatch::hungUp, this, &SerialDevice::fail);
}

SerialDevice::~SerialDevice()
{
    shutDown();
}

void SerialDevice::open(const LineSettings &settings)
{
    const PortProblem byPath = PortDiagnosis::beforeOpen(m_device);
    if (byPath.isProblem()) {
        refuse(byPath);
        return;
    }
    m_serial.setPortName(systemDeviceName(m_device));
    m_serial.setBaudRate(settings.baud);
    switch (settings.parity) {
    case 'E':
        m_serial.setParity(QSerialPort::EvenParity);
        break;
    case 'O':
        m_serial.setParity(QSerialPort::OddParity);
        break;
    default:
        m_serial.setParity(QSerialPort::NoParity);
        break;
    }
    m_serial.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits));
    m_serial.setStopBits(settings.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);

    m_opening = true;
    const bool isOpened = m_serial.open(QIODevice::ReadWrite);
    m_opening = false;
    if (!isOpened) {
        const PortProblem problem =
            PortDiagnosis::afterFailedOpen(m_device, m_serial.error(), m_serial.errorString());
        m_serial.clearError();
        refuse(problem);
        return;
    }
    m_serial.clearError();
    m_failed = false;
    m_writtenSinceDrain = false;
    // Where the watch has nothing to watch (Windows), the wait for bytes Qt keeps pending
    // on the port fails when the adapter is pulled, and the error it reports
    // (ResourceError, or PermissionError for the ERROR_ACCESS_DENIED some drivers give) is
    // taken by onError() as the device gone.
    m_hangupWatch.watch(m_serial);
    setProblem(PortProblem());
    emit opened();
}

void SerialDevice::refuse(const PortProblem &problem)
{
    setProblem(problem);
    emit openFailed();
}

void SerialDevice::close()
{
    if (m_writtenSinceDrain && isOpen())
        SystemQueue::waitUntilSent(m_serial);
    shutDown();
}

void SerialDevice::shutDown()
{
    m_hangupWatch.stop();
    if (m_serial.isOpen())
        m_serial.close();
    m_serial.clearError();
}

bool SerialDevice::isOpen() const
{
    return m_serial.isOpen() && !m_failed;
}

bool SerialDevice::discard()
{
    SystemQueue::discardReceived(m_serial);
    // Qt stops reading from the device once its buffer is full and only resumes on a
    // read; setting the size again resumes it after the buffer was emptied here.
    m_serial.setReadBufferSize(ReceiveBufferSize);
    return true;
}

qint64 SerialDevice::count()
{
    return m_serial.bytesAvailable() + SystemQueue::waiting(m_serial);
}

bool SerialDevice::write(const QByteArray &bytes)
{
    m_writtenSinceDrain = true;
    if (m_serial.write(bytes) == bytes.size() && handOver())
        return true;
    // A device that takes no byte for SystemQueue::WriteLimit is as good as gone.
    PortProblem stalled;
    stalled.kind = PortProblem::Kind::Unplugged;
    stalled.device = m_device;
    stalled.systemReason = tr("writing failed: %1").arg(m_serial.errorString());
    setProblem(stalled);
    return false;
}

// A write has been handed to the system when it returns, and no event is handled
// meanwhile. A failure Qt reports while writing marks the device failed (onError()), which
// ends the wait.
bool SerialDevice::handOver()
{
    return SystemQueue::handOver(m_serial, [this] { return isOpen(); });
}

std::optional<char> SerialDevice::readByte()
{
    if (m_serial.bytesAvailable() == 0)
        m_serial.waitForReadyRead(0); // pulls what the kernel holds into Qt's buffer
    char byte = 0;
    if (!isOpen() || !m_serial.getChar(&byte))
        return std::nullopt;
    return byte;
}

QByteArray SerialDevice::peek(qint64 maxBytes)
{
    if (m_serial.bytesAvailable() < maxBytes)
        m_serial.waitForReadyRead(0); // into Qt's buffer, where readByte() takes it from
    return isOpen() ? m_serial.peek(maxBytes) : QByteArray();
}

void SerialDevice::drain()
{
    if (!isOpen())
        return;
    if (!SystemQueue::waitUntilSent(m_serial)) {
        fail(tr("sending failed: %1").arg(qt_error_string()));
        return;
    }
    m_writtenSinceDrain = false;
    emit drained();
}

void SerialDevice::onError(QSerialPort::SerialPortError error)
{
    // clearError() itself reports NoError, so it must never be called from here.
    if (isHarmless(error) || m_opening)
        return;
    // Whatever Qt calls it, a device failing under an open port has gone away: a pulled
    // adapter, a pty whose master closed.
    fail(m_serial.errorString());
}

// Once: Qt 6.4 reports a failed device on every pass of the event loop.
void SerialDevice::fail(const QString &reason)
{
    if (!isOpen())
        return;
    m_failed = true;
    m_hangupWatch.stop();
    setProblem(PortProblem{PortProblem::Kind::Unplugged, m_device, reason});
    emit lost();
}
