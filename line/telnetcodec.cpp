#include "line/telnetcodec.h"

namespace {

QByteArray bytesOf(std::initializer_list<std::uint8_t> values)
{
    QByteArray bytes;
    for (const std::uint8_t value : values)
        bytes.append(static_cast<char>(value));
    return bytes;
}

// Options the client wants for itself (it sends WILL) and from the server (it sends DO).
bool weWill(std::uint8_t option)
{
    return option == TelnetCodec::Binary || option == TelnetCodec::SuppressGoAhead ||
           option == TelnetCodec::ComPort;
}

bool weWantFromServer(std::uint8_t option)
{
    return option == TelnetCodec::Binary || option == TelnetCodec::SuppressGoAhead;
}

// Length of the value of a COM-PORT answer, by its request; 0 for one rollcall does not
// know.
int valueLength(std::uint8_t request)
{
    switch (request) {
    case TelnetCodec::SetBaudRate:
        return 4;
    case TelnetCodec::SetDataSize:
    case TelnetCodec::SetParity:
    case TelnetCodec::SetStopSize:
    case TelnetCodec::SetControl:
    case TelnetCodec::PurgeData:
        return 1;
    default:
        return 0;
    }
}

// Notifications and answers to requests rollcall never sends (line and modem state,
// flow control suspend/resume, masks): understood and ignored.
bool isIgnoredAnswer(std::uint8_t code)
{
    return code >= 106 && code <= 111;
}

} // namespace

QByteArray TelnetCodec::receive(const QByteArray &bytes)
{
    QByteArray data;
    data.reserve(bytes.size());
    for (const char c : bytes) {
        m_position = data.size();
        const auto byte = static_cast<std::uint8_t>(c);
        switch (m_state) {
        case State::Data:
            if (byte == Iac)
                m_state = State::Command;
            else
                data.append(c);
            break;
        case State::Command:
            if (byte == Iac) {
                data.append(c); // IAC IAC: one 0xFF on the line
                m_state = State::Data;
            } else {
                onCommand(byte);
            }
            break;
        case State::Option:
            onOption(m_verb, byte);
            m_state = State::Data;
            break;
        case State::Subnegotiation:
            if (byte == Iac)
                m_state = State::SubnegotiationCommand;
            else
                keepInSubnegotiation(c);
            break;
        case State::SubnegotiationCommand:
            if (byte == Iac) {
                keepInSubnegotiation(c);
                m_state = State::Subnegotiation;
            } else if (byte == Se) {
                onSubnegotiation();
                m_state = State::Data;
            } else {
                // A command inside a subnegotiation ends it unread.
                m_subnegotiation.clear();
                m_subnegotiationTooLong = false;
                onCommand(byte);
            }
            break;
        }
    }
    return data;
}

void TelnetCodec::keepInSubnegotiation(char c)
{
    if (m_subnegotiation.size() < MaxSubnegotiation)
        m_subnegotiation.append(c);
    else
        m_subnegotiationTooLong = true; // the rest is dropped
}

void TelnetCodec::onCommand(std::uint8_t command)
{
    m_heardTelnet = true;
    if (command == Will || command == Wont || command == Do || command == Dont) {
        m_verb = command;
        m_state = State::Option;
    } else if (command == Sb) {
        m_subnegotiation.clear();
        m_subnegotiationTooLong = false;
        m_state = State::Subnegotiation;
    } else {
        // SE without SB, NOP, go-ahead, break and the like say nothing to rollcall.
        m_state = State::Data;
    }
}

void TelnetCodec::onOption(std::uint8_t verb, std::uint8_t option)
{
    switch (verb) {
    case Do:
        if (weWill(option)) {
            answer(Will, option);
            if (option == ComPort)
                addEvent(Event::Kind::ComPortAccepted);
        } else {
            answer(Wont, option);
        }
        break;
    case Dont:
        answer(Wont, option);
        if (option == ComPort)
            addEvent(Event::Kind::ComPortRefused);
        break;
    case Will:
        answer(weWantFromServer(option) ? Do : Dont, option);
        break;
    case Wont:
        answer(Dont, option);
        break;
    default:
        break;
    }
}

// One answer per option and side, and none where the server was already told it: a
// request the client made is not confirmed again, and a server that repeats itself,
// or storms, gets silence rather than a loop.
void TelnetCodec::answer(std::uint8_t verb, std::uint8_t option)
{
    const bool aboutUs = verb == Will || verb == Wont;
    std::uint8_t &told = aboutUs ? m_toldServerAboutUs[option] : m_toldServerAboutItself[option];
    if (told == verb)
        return;
    told = verb;
    m_answers += bytesOf({Iac, verb, option});
}

void TelnetCodec::onSubnegotiation()
{
    const QByteArray sub = m_subnegotiation;
    const bool tooLong = m_subnegotiationTooLong;
    m_subnegotiation.clear();
    m_subnegotiationTooLong = false;
    if (sub.isEmpty() || static_cast<std::uint8_t>(sub.at(0)) != ComPort)
        return; // another option's subnegotiation: not asked for, not read
    if (sub.size() < 2) {
        addEvent(Event::Kind::Nonsense);
        return;
    }
    const auto code = static_cast<std::uint8_t>(sub.at(1));
    if (isIgnoredAnswer(code))
        return;
    const int length = code > ServerAnswer ? valueLength(code - ServerAnswer) : 0;
    if (length == 0 || tooLong || sub.size() != 2 + length) {
        addEvent(Event::Kind::Nonsense);
        return;
    }
    quint32 value = 0;
    for (int i = 2; i < sub.size(); ++i)
        value = (value << 8) | static_cast<std::uint8_t>(sub.at(i));
    addEvent(Event::Kind::Confirmed, static_cast<Request>(code - ServerAnswer), value);
}

void TelnetCodec::addEvent(Event::Kind kind, Request request, quint32 value)
{
    Event event;
    event.kind = kind;
    event.request = request;
    event.value = value;
    event.position = m_position;
    m_events.append(event);
}

QByteArray TelnetCodec::takeAnswers()
{
    QByteArray answers;
    answers.swap(m_answers);
    return answers;
}

QList<TelnetCodec::Event> TelnetCodec::takeEvents()
{
    QList<Event> events;
    events.swap(m_events);
    return events;
}

QByteArray TelnetCodec::start()
{
    QByteArray bytes;
    for (const std::uint8_t option : {Binary, SuppressGoAhead, ComPort}) {
        m_toldServerAboutUs[option] = Will;
        bytes += bytesOf({Iac, Will, option});
    }
    for (const std::uint8_t option : {Binary, SuppressGoAhead}) {
        m_toldServerAboutItself[option] = Do;
        bytes += bytesOf({Iac, Do, option});
    }
    return bytes;
}

QByteArray TelnetCodec::escape(const QByteArray &data)
{
    if (!data.contains(static_cast<char>(Iac)))
        return data;
    QByteArray escaped;
    escaped.reserve(data.size() * 2);
    for (const char c : data) {
        escaped.append(c);
        if (static_cast<std::uint8_t>(c) == Iac)
            escaped.append(c);
    }
    return escaped;
}

namespace {

QByteArray subnegotiation(std::uint8_t request, const QByteArray &value)
{
    return bytesOf({TelnetCodec::Iac, TelnetCodec::Sb, TelnetCodec::ComPort, request}) +
           TelnetCodec::escape(value) + bytesOf({TelnetCodec::Iac, TelnetCodec::Se});
}

} // namespace

QByteArray TelnetCodec::setBaudRate(quint32 baud)
{
    const QByteArray value =
        bytesOf({static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                 static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)});
    return subnegotiation(SetBaudRate, value);
}

QByteArray TelnetCodec::request(Request request, std::uint8_t value)
{
    return subnegotiation(request, QByteArray(1, static_cast<char>(value)));
}
