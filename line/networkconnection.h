#pragma once

#include "line/lineaddress.h"
#include "line/lineconnection.h"
#include "line/rfc2217session.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <memory>

// A reader line behind a serial server on the network: raw TCP (socket://), or telnet
// with the COM-PORT option (rfc2217://), through which the speed and 8N1 are set and the
// server's receive buffer is purged. Opening is a state: connecting, the name lookup
// included, and the negotiation go on in the event loop, and opened() or openFailed()
// tells how it ended; close() ends it at once.
//
// What the server sends is untrusted: the session bounds it, and at most ReceiveLimit line
// bytes are kept waiting, the rest dropped as a full UART buffer would.
//
// A dead peer: TCP keepalive probes an idle connection after KeepAliveIdle, and unsent
// data counts as lost after UserTimeout. Over RFC 2217 a server that confirms purges and
// stops answering is lost within the session's StallBound; a raw socket, or a server that
// does not confirm purges, only shows a stall through keepalive, which takes about half
// a minute, or through a drain.
//
// A drain has two halves. First the server shows it has the bytes: over RFC 2217 it
// answers a request sent after them (see Rfc2217Session), over a raw socket TCP has had
// them acknowledged, where the system tells (Linux; elsewhere the bytes handed to the
// system are taken as arrived). Neither comes within the session's StallBound: the
// server has stopped answering, and the line is lost. Then the bytes' time on the wire
// at the line's speed, as if the server's UART had started each as it was written,
// counted from the server's answer, plus WireMargin.
class NetworkConnection : public LineConnection
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds ConnectTimeout{5000};
    static constexpr std::chrono::seconds KeepAliveIdle{10};
    static constexpr std::chrono::seconds KeepAliveInterval{5};
    static constexpr int KeepAliveProbes = 3;
    static constexpr std::chrono::milliseconds UserTimeout{25000};
    static constexpr qsizetype ReceiveLimit = qsizetype{64} * 1024;
    // After the wire time: the server's own delay between taking the bytes and its UART
    // sending them, and the last character leaving the UART.
    static constexpr std::chrono::milliseconds WireMargin{10};
    // How often a raw socket's acknowledgement is looked for; the system signals none.
    static constexpr std::chrono::milliseconds AcknowledgementPoll{2};

    NetworkConnection(LineAddress address, QString device, QObject *parent = nullptr);
    ~NetworkConnection() override;

    void open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_state == State::Open; }
    // Drops what waits; over RFC 2217 also purges the server's receive buffer (see
    // Rfc2217Session for what is dropped after).
    bool discard() override;
    qint64 count() override;
    bool write(const QByteArray &bytes) override;
    std::optional<char> readByte() override;
    QByteArray peek(qint64 maxBytes) override;
    QString openNote() const override;
    // Never drains in close(): that takes a round trip with the server.
    void drain() override;
    bool isDraining() const override { return m_drain != Drain::Idle; }

private:
    enum class State { Closed, Connecting, Negotiating, Open, Failed };
    enum class Drain { Idle, AwaitingServer, OnTheWire };

    void onConnected();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onDeadline();
    void afterSession();
    void scheduleDeadline();
    void setKeepAlive();
    // KeepAliveIdle, KeepAliveInterval, KeepAliveProbes and UserTimeout on the socket,
    // where the system lets them be set; elsewhere its own times stand.
    void setKeepAliveTimes();
    // Bytes sent that TCP has not had acknowledged yet; 0 where the system cannot tell.
    qint64 unacknowledged() const;
    void onDrainTimer();
    void onServerHasTheBytes();
    void pull();
    void keep(const QByteArray &data);
    bool sendRaw(const QByteArray &bytes);
    void refuse(PortProblem::Kind kind, const QString &reason);
    void fail(PortProblem::Kind kind, const QString &reason);
    void shutDown();
    Rfc2217Session::Time now() const;
    std::chrono::microseconds sinceStart() const;

    LineAddress m_address;
    QString m_device;
    QTcpSocket m_socket;
    // The connection's deadlines: the connect, then the session's own.
    QTimer m_deadline;
    QElapsedTimer m_clock;
    std::unique_ptr<Rfc2217Session> m_session; // over RFC 2217, once connected
    LineSettings m_settings;
    State m_state = State::Closed;
    QByteArray m_received;

    // When the line bytes written so far would have left a UART that started each as it
    // was written, on m_clock.
    std::chrono::microseconds m_wireFreeAt{0};
    Drain m_drain = Drain::Idle;
    Rfc2217Session::Time m_drainStartedAt{0};
    std::chrono::microseconds m_drainWireTime{0};
    // The raw socket's acknowledgement looked for, then the wire time waited out.
    QTimer m_drainTimer;
};
