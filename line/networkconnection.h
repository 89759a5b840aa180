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
// a minute.
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

private:
    enum class State { Closed, Connecting, Negotiating, Open, Failed };

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
    void pull();
    void keep(const QByteArray &data);
    bool sendRaw(const QByteArray &bytes);
    void refuse(PortProblem::Kind kind, const QString &reason);
    void fail(PortProblem::Kind kind, const QString &reason);
    void shutDown();
    Rfc2217Session::Time now() const;

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
};
