#pragma once

#include <QByteArray>
#include <QList>

#include <array>
#include <cstdint>

// Telnet with the COM-PORT option (RFC 2217), as a client needs it to drive a serial
// line behind a network server. It does no I/O: receive() turns what the server sent
// into line bytes, answers for the server and events; the request functions turn what
// rollcall asks for into bytes to send.
//
// The server is untrusted: every byte sequence is taken without a crash, a loop or
// growing memory. A subnegotiation is kept in a small buffer and the rest of a longer
// one dropped; an option rollcall does not need is refused once, by the telnet rules,
// and a server that repeats its request gets no second answer.
class TelnetCodec
{
public:
    // Telnet commands and options.
    static constexpr std::uint8_t Iac = 255;
    static constexpr std::uint8_t Dont = 254;
    static constexpr std::uint8_t Do = 253;
    static constexpr std::uint8_t Wont = 252;
    static constexpr std::uint8_t Will = 251;
    static constexpr std::uint8_t Sb = 250;
    static constexpr std::uint8_t Se = 240;
    static constexpr std::uint8_t Binary = 0;
    static constexpr std::uint8_t SuppressGoAhead = 3;
    static constexpr std::uint8_t ComPort = 44;

    // COM-PORT requests; the server answers each with the code plus 100.
    enum Request : std::uint8_t {
        SetBaudRate = 1,
        SetDataSize = 2,
        SetParity = 3,
        SetStopSize = 4,
        SetControl = 5,
        PurgeData = 12,
    };
    static constexpr std::uint8_t ServerAnswer = 100;
    // Values of the requests above.
    static constexpr std::uint8_t ParityNone = 1;
    static constexpr std::uint8_t ParityOdd = 2;
    static constexpr std::uint8_t ParityEven = 3;
    static constexpr std::uint8_t NoFlowControl = 1;
    static constexpr std::uint8_t PurgeReceiveBuffer = 1;
    // A setting's request with this value asks for the setting as it stands, unchanged.
    static constexpr std::uint8_t CurrentValue = 0;

    // The longest subnegotiation kept; the longest answer rollcall reads is 6 bytes.
    static constexpr int MaxSubnegotiation = 32;

    struct Event
    {
        enum class Kind {
            ComPortAccepted, // the server will take COM-PORT requests
            ComPortRefused,  // it will not: the speed cannot be set
            Confirmed,       // the server answered `request` with `value`
            Nonsense,        // a COM-PORT answer of the wrong length or an unknown code
        };
        Kind kind = Kind::Nonsense;
        Request request = SetBaudRate;
        quint32 value = 0;
        // How many line bytes receive() returned before it: TCP keeps the order, and a
        // purge is confirmed after what the server sent ahead of it.
        qsizetype position = 0;
    };

    // What the server sent, in any pieces: telnet commands may be split over calls.
    // Returns the line's bytes, unescaped; answers to the server and events wait to be
    // taken.
    QByteArray receive(const QByteArray &bytes);
    QByteArray takeAnswers();
    QList<Event> takeEvents();
    // Whether the server has sent one telnet command yet: a server that serves the line
    // raw never does.
    bool heardTelnet() const { return m_heardTelnet; }

    // The first bytes a client sends: binary both ways, no go-ahead, and COM-PORT.
    QByteArray start();
    // Line bytes with every 0xFF doubled.
    static QByteArray escape(const QByteArray &data);
    static QByteArray setBaudRate(quint32 baud);
    static QByteArray request(Request request, std::uint8_t value);

private:
    enum class State { Data, Command, Option, Subnegotiation, SubnegotiationCommand };

    void keepInSubnegotiation(char c);
    void onCommand(std::uint8_t command);
    void onOption(std::uint8_t verb, std::uint8_t option);
    void onSubnegotiation();
    void addEvent(Event::Kind kind, Request request = SetBaudRate, quint32 value = 0);
    void answer(std::uint8_t verb, std::uint8_t option);

    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    QByteArray m_subnegotiation;
    bool m_subnegotiationTooLong = false;
    // Per option: what the server was told, so no request is answered twice.
    std::array<std::uint8_t, 256> m_toldServerAboutUs{};
    std::array<std::uint8_t, 256> m_toldServerAboutItself{};
    QByteArray m_answers;
    QList<Event> m_events;
    qsizetype m_position = 0; // line bytes returned so far by the current receive()
    bool m_heardTelnet = false;
};
