#pragma once

#include "line/lineaddress.h"
#include "line/lineconnection.h"
#include "line/telnetcodec.h"

#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <functional>

// A reader line behind a serial server on the network: raw TCP (socket://), or telnet
// with the COM-PORT option (rfc2217://), through which the speed and 8N1 are set and
// the server's receive buffer is purged. Connecting, the name lookup included, never
// blocks the event loop; close() ends it at once.
//
// What the server sends is untrusted: the codec bounds it, and at most ReceiveLimit
// line bytes are kept waiting, the rest dropped as a full UART buffer would.
class NetworkConnection : public LineConnection
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds ConnectTimeout{5000};
    static constexpr std::chrono::milliseconds SettingsTimeout{3000};
    static constexpr qsizetype ReceiveLimit = qsizetype{64} * 1024;

    NetworkConnection(LineAddress address, QString device, QObject *parent = nullptr);
    ~NetworkConnection() override;

    bool open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_state == State::Open; }
    // Drops what waits; over RFC 2217 also purges the server's receive buffer and drops
    // everything that arrives before the server confirms it.
    bool discard() override;
    qint64 count() override;
    bool write(const QByteArray &bytes) override;
    std::optional<char> readByte() override;
    QByteArray peek(qint64 maxBytes) override;
    QString openNote() const override;

private:
    enum class State { Closed, Connecting, Negotiating, Open, Failed };

    bool connectToServer();
    bool negotiate(const LineSettings &settings);
    bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds limit);
    bool refuse(PortProblem::Kind kind, const QString &reason);
    bool refuseUnsent();
    void shutDown();
    void pull();
    void onReadyRead();
    void onTelnetEvents(const QByteArray &data);
    void keep(const QByteArray &data);
    void onSocketError(QAbstractSocket::SocketError error);
    void fail(const QString &reason);
    bool sendRaw(const QByteArray &bytes);

    LineAddress m_address;
    QString m_device;
    QTcpSocket m_socket;
    QTimer m_wake;
    TelnetCodec m_codec;
    State m_state = State::Closed;
    QByteArray m_received;

    // Over RFC 2217.
    bool m_comPortAccepted = false;
    bool m_comPortRefused = false;
    QList<TelnetCodec::Event> m_confirmed;
    bool m_purgePending = false;
    bool m_serverAnswersPurges = true;
    qsizetype m_droppedByPurge = 0;
};
