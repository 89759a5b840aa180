#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

class QSocketNotifier;
class QTcpSocket;

// A network serial server with the habits of servers found in the field, between a
// client on 127.0.0.1 and a real tty (the simulated bus's pty): telnet with the COM-PORT
// option, enough of it to serve one client. Line bytes cross the tty as with any
// server; what differs is how purges are answered, whether it keeps answering, and
// whether it keeps what it was sent when its client goes.
class ScriptedServer : public QObject
{
    Q_OBJECT
public:
    enum class Habit {
        // Confirms every request at once, in order with the data.
        WellBehaved,
        // Purges, but never confirms a purge.
        NeverConfirmsPurges,
        // Its control path is slower than its data path: a purge is confirmed only after
        // the data that followed it.
        ConfirmsPurgesLate,
        // From the poll of StallAddress on, it answers nothing and forwards nothing, and
        // leaves the connection open.
        Stalls,
        // Offers its options before the client does, and puts a line-state notification
        // in the middle of every reply.
        SpeaksFirst,
        // Sends stale bytes just before each purge's confirmation and the first byte of
        // the next reply in the same segment right after it.
        StaleBeforeConfirmation,
        // Takes what the client sends only HoldBackMs after it came, in order: the line
        // bytes written to the tty, then the requests after them answered. What it holds
        // when the client goes is dropped, as a server that closes its port at once does.
        DropsUnwrittenOnClose,
    };
    static constexpr int StallAddress = 4;
    // Within a reply window, so that the server can serve a whole assignment; far longer
    // than a program takes to close after its last write.
    static constexpr int HoldBackMs = 60;
    // The stale bytes look like a reader's reply, so keeping them would list an address.
    static inline const QByteArray StaleBytes{"\x02ST\x03", 4};

    ScriptedServer(Habit habit, QString device, QObject *parent = nullptr);
    ~ScriptedServer() override;

    quint16 port() const { return m_server.serverPort(); }
    QString url() const;
    bool isListening() const { return m_server.isListening(); }
    bool hasClient() const { return !m_client.isNull(); }
    // Purges asked for and confirmations sent, for a row to show the habit was played.
    int purges() const { return m_purges; }
    int confirmations() const { return m_confirmations; }

private:
    void accept();
    void fromClient();
    void take(const QByteArray &bytes);
    void onTelnet(quint8 verb, quint8 option);
    void onSubnegotiation(const QByteArray &body);
    void onPurge(quint8 value);
    void confirmPurge(quint8 value, const QByteArray &after = QByteArray());
    void fromLine();
    void toClient(const QByteArray &bytes);
    void toLine(const QByteArray &bytes);
    void setSpeed(quint32 baud) const;

    Habit m_habit;
    QString m_device;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    int m_fd = -1;
    QSocketNotifier *m_lineReadable = nullptr;

    // The client's telnet, parsed as it comes.
    enum class Parse { Data, Iac, Option, Sub, SubIac };
    Parse m_parse = Parse::Data;
    quint8 m_verb = 0;
    QByteArray m_sub;
    QSet<quint16> m_answered; // verb << 8 | option, so no request is answered twice

    bool m_stalled = false;
    int m_purges = 0;
    int m_confirmations = 0;
    QList<quint8> m_heldPurges; // confirmations waiting for the data after them
    QTimer m_releaseHeld;
};
