#pragma once

#include "line/lineconnection.h"
#include "line/linesettings.h"
#include "line/portmap.h"
#include "line/portproblem.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

// The reader line as the commands need it: choose a port, set line settings, open,
// close, discard what was received, count what waits, write, read one byte. Behind a
// port stands a serial device of this computer or a serial server on the network
// (rfc2217://HOST:PORT, socket://HOST:PORT); the commands cannot tell which.
//
// Opening is a state: a serial device opens at once, a server may take seconds, and the
// event loop runs meanwhile. opened() or openFailed() tells how an open ended; a close()
// ends one in progress with neither.
//
// Every operation on a closed or failed line reports failure instead of acting, so a
// command can stop cleanly; an opening line has nothing to count yet. Once the line fails
// while open (an adapter pulled out, a pty whose far side went away, a server that closed
// the connection or stopped answering) it is closed on the next event-loop pass and
// lost() is emitted once.
//
// Draining is a state too. write() returns once the bytes are with this computer's
// system, which is not the same as sent: a UART sends them at the line's speed, and a
// network server may still hold them when the connection closes, and drop them. drain()
// makes sure that what was written before it has left this computer; isDraining() holds
// until it has (drained() then), or until the line goes down (lost(); state() and
// problem() tell). The caller waits for it in its own wait, as for an open.
class Line : public QObject
{
    Q_OBJECT
public:
    enum class State { Closed, Opening, Open };
    static constexpr qint64 ReceiveBufferSize = 1024;

    explicit Line(QObject *parent = nullptr);
    explicit Line(PortMap ports, QObject *parent = nullptr);
    ~Line() override;

    // Only while closed; they take effect at the next open().
    void choosePort(int port);
    // Which device stands behind a port from now on; a device, rfc2217:// or socket://.
    void setDevice(int port, const QString &device);
    bool setSettings(const LineSettings &settings);

    int port() const { return m_portNumber; }
    QString device() const;
    LineSettings settings() const { return m_settings; }

    // Closes the line and opens it again on the chosen port. True when it is open on
    // return; otherwise it is opening, or it failed and openFailed() was emitted.
    bool open();
    // A serial device drains first what was written since the last drain (the system's
    // own drain, bounded by those bytes at the line's speed). A network line cannot
    // without a round trip to its server: whoever closes it after writing drains it
    // first and waits until isDraining() is false. Ends a drain in progress.
    void close();
    State state() const;
    bool isOpen() const { return state() == State::Open; }
    // What the operator should know about the open line, or empty ("speed is the
    // server's, rollcall cannot set it").
    QString openNote() const;

    bool discard();
    // Bytes waiting to be read, what the system still holds included; 0 while opening,
    // -1 when the line is not usable.
    qint64 count();
    // True once every byte has been handed to the operating system.
    bool write(const QByteArray &bytes);
    std::optional<char> readByte();
    // Up to `maxBytes` of what waits, left waiting for readByte().
    QByteArray peek(qint64 maxBytes);

    // Starts making sure that every byte written so far has left this computer; nothing
    // on a line not open. A serial device: the system's drain (tcdrain, FlushFileBuffers),
    // done before this returns. A network line: a round trip with the server that only
    // comes back once it has taken the bytes (RFC 2217: a request it answers after them;
    // raw TCP: the bytes acknowledged), then their time on the wire at the line's speed.
    // A server that does not answer within Rfc2217Session::StallBound has stopped
    // answering: the line is lost, which ends the drain. A drain covers the bytes written
    // before it; a later one covers those since.
    void drain();
    // From drain() until the bytes have left, or the line is down or closed.
    bool isDraining() const;

    // Why the last open failed, or why the line went down while open; None otherwise.
    PortProblem problem() const { return m_problem; }

signals:
    void opened();
    // problem() tells why.
    void openFailed();
    // Emitted once when the line fails while open; problem() tells why.
    void lost();
    // The bytes written before drain() have left this computer; emitted before drain()
    // returns where that is known at once.
    void drained();

private:
    void onOpened();
    void onOpenFailed();
    void onLost();
    void onDrained();
    void refuse(const QString &reason);
    void retire();

    // Owned, and a child: one that failed inside its own signal is deleted later.
    LineConnection *m_connection = nullptr;
    PortMap m_ports;
    int m_portNumber = 1;
    LineSettings m_settings;
    PortProblem m_problem;
    bool m_lost = false;
};
