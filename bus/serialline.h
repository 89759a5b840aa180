#pragma once

#include "bus/hangupwatch.h"
#include "bus/portmap.h"
#include "bus/portproblem.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <optional>

// The serial port as the reader line needs it: choose a port, set line settings,
// open, close, discard what was received, count what waits, write, read one byte.
//
// Every operation on a closed or failed port reports failure instead of acting, so a
// command can stop cleanly. Once the device fails while open (an adapter pulled out,
// a pty whose far side went away) the port is closed and lost() is emitted once;
// otherwise Qt would report the same error over and over and burn a core. The line
// notices the loss itself, from a hangup on its descriptor, whether or not QSerialPort
// reports an error for it.
// A path that cannot be a serial port (a regular file, a FIFO, a directory) is refused
// before anything opens it.
class SerialLine : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 ReceiveBufferSize = 1024;
    static constexpr qint64 SendBufferSize = 512;

    explicit SerialLine(QObject *parent = nullptr);
    explicit SerialLine(PortMap ports, QObject *parent = nullptr);
    ~SerialLine() override;

    // Only while closed; they take effect at the next open().
    void choosePort(int port);
    // Which device stands behind a port from now on; a device, rfc2217:// or socket://.
    void setDevice(int port, const QString &device);
    bool setSettings(const QString &settings); // "9600,N,8,1" or "19200,N,8,1"

    int port() const { return m_portNumber; }
    QString device() const;
    QString settings() const { return m_settings; }

    bool open();
    void close();
    bool isOpen() const;

    bool discard();
    // Bytes waiting to be read: Qt's buffer plus what the kernel still holds. -1 when
    // the port is not usable.
    qint64 count();
    // True once every byte has been handed to the operating system.
    bool write(const QByteArray &bytes);
    std::optional<char> readByte();
    // Up to `maxBytes` of what waits, left waiting for readByte().
    QByteArray peek(qint64 maxBytes);

    // Why the last open failed, or why the port went down while open; None otherwise.
    PortProblem problem() const { return m_problem; }

signals:
    // Emitted once when the device fails while open; problem() tells why.
    void lost();

private:
    void onError(QSerialPort::SerialPortError error);
    void markLost(const QString &reason);
    void setProblem(const PortProblem &problem);

    QSerialPort m_serial;
    HangupWatch m_hangupWatch;
    PortMap m_ports;
    int m_portNumber = 1;
    QString m_settings;
    PortProblem m_problem;
    bool m_opening = false;
    bool m_lost = false;
    quint64 m_openings = 0; // tells a deferred close which opening it was meant for
};
