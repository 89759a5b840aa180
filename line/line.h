#pragma once

#include "line/lineconnection.h"
#include "line/portmap.h"
#include "line/portproblem.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// The reader line as the commands need it: choose a port, set line settings, open,
// close, discard what was received, count what waits, write, read one byte. Behind a
// port stands a serial device of this computer or a serial server on the network
// (rfc2217://HOST:PORT, socket://HOST:PORT); the commands cannot tell which.
//
// Every operation on a closed or failed line reports failure instead of acting, so a
// command can stop cleanly. Once the line fails while open (an adapter pulled out, a
// pty whose far side went away, a server that closed the connection) it is closed on
// the next event-loop pass and lost() is emitted once.
class Line : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 ReceiveBufferSize = 1024;

    explicit Line(QObject *parent = nullptr);
    explicit Line(PortMap ports, QObject *parent = nullptr);
    ~Line() override;

    // Only while closed; they take effect at the next open().
    void choosePort(int port);
    // Which device stands behind a port from now on; a device, rfc2217:// or socket://.
    void setDevice(int port, const QString &device);
    bool setSettings(const QString &settings); // "9600,N,8,1" or "19200,N,8,1"

    int port() const { return m_portNumber; }
    QString device() const;
    QString settings() const { return m_settings; }

    // A line behind a network server may take a few seconds to open; the event loop
    // runs meanwhile, and a close() from it ends the open with no problem set.
    bool open();
    void close();
    bool isOpen() const;
    // What the operator should know about the open line, or empty ("speed is the
    // server's, rollcall cannot set it").
    QString openNote() const;

    bool discard();
    // Bytes waiting to be read, what the system still holds included. -1 when the line
    // is not usable.
    qint64 count();
    // True once every byte has been handed to the operating system.
    bool write(const QByteArray &bytes);
    std::optional<char> readByte();
    // Up to `maxBytes` of what waits, left waiting for readByte().
    QByteArray peek(qint64 maxBytes);

    // Why the last open failed, or why the line went down while open; None otherwise.
    PortProblem problem() const { return m_problem; }

signals:
    // Emitted once when the line fails while open; problem() tells why.
    void lost();

private:
    void markLost(const QString &reason);

    std::unique_ptr<LineConnection> m_connection;
    std::vector<std::unique_ptr<LineConnection>> m_retired;
    int m_openDepth = 0;
    PortMap m_ports;
    int m_portNumber = 1;
    QString m_settings;
    PortProblem m_problem;
    bool m_lost = false;
    quint64 m_openings = 0; // tells a deferred close which opening it was meant for
};
