#pragma once

#include "line/linesettings.h"
#include "line/telnetcodec.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>

#include <chrono>
#include <deque>
#include <optional>

// The client's side of one RFC 2217 connection, from its first byte to its end: the
// COM-PORT option and the settings, the purges and what they drop, and the rules that
// tell a server that cannot serve, or has stopped answering. It does no I/O and reads no
// clock: what the server sent and the time go in; bytes to send, line bytes, the state
// and, on failure, the reason come out.
//
// Purges. A purge sent with the settings tells, at the open, whether this server confirms
// purges and how fast. A server that confirms it within PurgeBound of the settings'
// confirmation is one that confirms: after each purge, what it sent before its
// confirmation is dropped, and a purge left unconfirmed for StallBound means the server
// stopped answering. Any other server is taken as one that does not confirm, for the
// whole connection: only what waits on this side is dropped, and its confirmations, if
// any come, are ignored. A confirmation that no purge waits for is ignored too, so a
// doubled one never ends a later purge's drop early.
//
// Drains. The server answers a request only once it has taken every line byte sent
// before it: it parses the stream in order, and Debian's ser2net answers only once the
// bytes ahead have been written to its port. A drain asks for the current data size
// (SET-DATASIZE with value 0), which changes nothing, and lasts until the answer comes;
// unanswered for StallBound, the server has stopped answering. Once open, no other
// request rollcall makes is answered by that code.
//
// The server is untrusted: everything it can make this class keep is bounded.
class Rfc2217Session
{
    Q_DECLARE_TR_FUNCTIONS(Rfc2217Session)

public:
    using Time = std::chrono::milliseconds; // since any fixed start, never going back

    // For the COM-PORT option and every setting to be confirmed, from the first byte sent.
    static constexpr Time SettingsTimeout{3000};
    // Well under the shortest reply window a scan may use, so that a server that lets
    // data overtake its confirmation never has a reply dropped: it is caught at the open.
    static constexpr Time PurgeBound{50};
    // Ten full reply windows: a loaded server or a Wi-Fi hop that takes a second is still
    // a server, and a scan learns of a stall within about ten addresses.
    static constexpr Time StallBound{2000};
    // What a server may say before it closes: kept up to RawWordsLimit bytes, shown up to
    // ShownWordsLimit printable characters.
    static constexpr qsizetype RawWordsLimit = 256;
    static constexpr qsizetype ShownWordsLimit = 80;
    // Unconfirmed purges and unanswered drains remembered; a server that stalls fails
    // long before.
    static constexpr std::size_t PurgesLimit = 1024;
    static constexpr std::size_t DrainsLimit = 1024;

    enum class State { Negotiating, Open, Failed };
    enum class Failure {
        None,
        ComPortRefused,   // the server will not take COM-PORT requests
        NoTelnet,         // the server never spoke telnet: it serves the line raw
        SettingsNotTaken, // COM-PORT or a setting not confirmed in time, or not as asked
        Closed,           // the server closed the connection
        Stalled,          // a purge unconfirmed or a drain unanswered for StallBound
    };

    // `rawUrl` is what the operator would write to take this server raw
    // ("socket://HOST:PORT"), named in the refusal of a server that never speaks telnet.
    Rfc2217Session(LineSettings settings, QString rawUrl);

    // The negotiation starts: the client's options go out.
    void start(Time now);
    // What the server sent, at `now`. Returns the line bytes to keep: none while
    // negotiating, none that a purge drops.
    QByteArray receive(const QByteArray &bytes, Time now);
    // Time has passed: the negotiation's deadlines and the stall rule are checked.
    void advance(Time now);
    // When advance() must be called next at the latest; none when nothing is due.
    std::optional<Time> nextDeadline() const;
    // The connection ended from the server's side.
    void serverClosed();

    // Drops what the server holds of the line, and, from a server that confirms, what it
    // sent before its confirmation.
    void purge(Time now);
    // Line bytes for the readers, escaped as telnet wants them.
    void send(const QByteArray &lineBytes);
    // Asks the server whether it has taken the line bytes sent so far; isDraining()
    // until it has answered.
    void drain(Time now);

    // Bytes for the server, each handed out once.
    QByteArray takeOutgoing();
    // What the trace should say, each handed out once.
    QList<QString> takeNotes();

    State state() const { return m_state; }
    Failure failure() const { return m_failure; }
    // In an operator's words; empty unless failed.
    QString failureReason() const { return m_failureReason; }
    // Known once open.
    bool confirmsPurges() const { return m_confirmsPurges; }
    int purgesWaiting() const { return static_cast<int>(m_purgesWaiting.size()); }
    bool isDraining() const { return !m_drainsWaiting.empty(); }

private:
    void onEvents(const QByteArray &data, QByteArray &kept);
    void keep(const QByteArray &data, QByteArray &kept);
    void onSettingConfirmed(TelnetCodec::Request request, quint32 value, Time now);
    void onPurgeConfirmed();
    void onDrainAnswered();
    void sendSettings();
    void checkNegotiation(Time now);
    void fail(Failure failure, const QString &reason);
    void note(const QString &text);
    QString serverWords() const;

    LineSettings m_settings;
    QString m_rawUrl;
    TelnetCodec m_codec;
    State m_state = State::Negotiating;
    Failure m_failure = Failure::None;
    QString m_failureReason;
    QByteArray m_outgoing;
    QList<QString> m_notes;
    Time m_now{0};

    // The negotiation.
    Time m_startedAt{0};
    bool m_comPortAccepted = false;
    bool m_settingsSent = false;
    std::optional<quint32> m_confirmed[TelnetCodec::SetStopSize + 1];
    std::optional<Time> m_settingsConfirmedAt;
    bool m_probeConfirmed = false;
    QByteArray m_rawWords; // line bytes before the open: a server's own words, maybe

    // Once open.
    bool m_confirmsPurges = false;
    std::deque<Time> m_purgesWaiting; // when each unconfirmed purge was sent
    std::deque<Time> m_drainsWaiting; // when each unanswered drain was sent
    qsizetype m_dropped = 0;
};
