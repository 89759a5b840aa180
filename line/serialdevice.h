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
    // Drains first what was written since the last drain(): it takes no wait of its own.
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
    // The system's own drain, at once: drained() before it returns, or lost() if the
    // device failed.
    void drain() override;
    bool isDraining() const override { return false; }

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
    bool m_writtenSinceDrain = false;
};
