#pragma once

#include "line/hangupwatch.h"
#include "line/lineconnection.h"

#include <QSerialPort>

// A serial device of this computer (a UART, a USB adapter, a pseudo-terminal) through
// QSerialPort. A path that cannot be a serial port (a regular file, a FIFO, a
// directory) is refused before anything opens it. The device's own hangup is watched,
// whatever QSerialPort reports, so a pulled adapter is noticed on every Qt.
class SerialDevice : public LineConnection
{
    Q_OBJECT
public:
    static constexpr qint64 ReceiveBufferSize = 1024;

    explicit SerialDevice(QString device, QObject *parent = nullptr);
    ~SerialDevice() override;

    // Opens at once: opened() or openFailed() before it returns.
    void open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override;
    bool discard() override;
    // Qt's buffer plus what the kernel still holds.
    qint64 count() override;
    // Returns once every byte is with the system; a device that takes nothing for
    // SystemQueue::WriteLimit has stalled.
    bool write(const QByteArray &bytes) override;
    std::optional<char> readByte() override;
    QByteArray peek(qint64 maxBytes) override;

private:
    void onError(QSerialPort::SerialPortError error);
    void fail(const QString &reason);
    void refuse(const PortProblem &problem);
    bool handOver();
    void shutDown();

    QString m_device;
    QSerialPort m_serial;
    HangupWatch m_hangupWatch;
    bool m_opening = false;
    bool m_failed = false; // refuses everything until the line closes it
};
