#include "line/rfc2217session.h"

#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

std::uint8_t parityValue(char parity)
{
    switch (parity) {
    case 'E':
        return TelnetCodec::ParityEven;
    case 'O':
        return TelnetCodec::ParityOdd;
    default:
        return TelnetCodec::ParityNone;
    }
}

constexpr TelnetCodec::Request Settings[] = {TelnetCodec::SetBaudRate, TelnetCodec::SetDataSize,
                                             TelnetCodec::SetParity, TelnetCodec::SetStopSize};

} // namespace

Rfc2217Session::Rfc2217Session(LineSettings settings, QString rawUrl)
    : m_settings(settings), m_rawUrl(std::move(rawUrl))
{}

void Rfc2217Session::start(Time now)
{
    m_now = m_startedAt = now;
    m_outgoing += m_codec.start();
}

QByteArray Rfc2217Session::receive(const QByteArray &bytes, Time now)
{
    // A deadline that passed before these bytes came is kept before they are read, whether
    // advance() was called at it or not: a confirmation that comes late is late.
    advance(now);
    QByteArray kept;
    if (m_state == State::Failed)
        return kept;
    const QByteArray data = m_codec.receive(bytes);
    m_outgoing += m_codec.takeAnswers();
    onEvents(data, kept);
    advance(m_now);
    return kept;
}

void Rfc2217Session::onEvents(const QByteArray &data, QByteArray &kept)
{
    qsizetype done = 0; // line bytes of `data` dealt with so far
    const QList<TelnetCodec::Event> events = m_codec.takeEvents();
    for (const TelnetCodec::Event &event : events) {
        // TCP keeps the order: what came before an answer was sent before it.
        keep(data.mid(done, event.position - done), kept);
        done = event.position;
        switch (event.kind) {
        case TelnetCodec::Event::Kind::ComPortAccepted:
            if (m_state == State::Negotiating && !m_comPortAccepted) {
                m_comPortAccepted = true;
                sendSettings();
            }
            break;
        case TelnetCodec::Event::Kind::ComPortRefused:
            if (m_state == State::Negotiating)
                fail(Failure::ComPortRefused,
                     tr("the server refused the COM-PORT option (RFC 2217)"));
            break;
        case TelnetCodec::Event::Kind::Nonsense:
            note(tr("a COM-PORT answer that makes no sense, ignored"));
            break;
        case TelnetCodec::Event::Kind::Confirmed:
            if (event.request == TelnetCodec::PurgeData)
                onPurgeConfirmed();
            else if (event.request == TelnetCodec::SetDataSize && m_state == State::Open)
                onDrainAnswered();
            else
                onSettingConfirmed(event.request, event.value, m_now);
            break;
        }
        if (m_state == State::Failed)
            return;
    }
    keep(data.mid(done), kept);
}

void Rfc2217Session::keep(const QByteArray &data, QByteArray &kept)
{
    if (data.isEmpty())
        return;
    if (m_state == State::Negotiating) {
        m_rawWords += data.left(RawWordsLimit - m_rawWords.size());
        return;
    }
    if (m_state != State::Open)
        return;
    if (!m_purgesWaiting.empty()) {
        m_dropped += data.size();
        return;
    }
    kept += data;
}

// The settings and the purge that tells how this server confirms go out together once
// the server takes COM-PORT requests. DTR, RTS and flow control are not waited for: a
// server may never answer those.
void Rfc2217Session::sendSettings()
{
    m_settingsSent = true;
    m_outgoing += TelnetCodec::setBaudRate(static_cast<quint32>(m_settings.baud)) +
                  TelnetCodec::request(TelnetCodec::SetDataSize,
                                       static_cast<std::uint8_t>(m_settings.dataBits)) +
                  TelnetCodec::request(TelnetCodec::SetParity, parityValue(m_settings.parity)) +
                  TelnetCodec::request(TelnetCodec::SetStopSize,
                                       static_cast<std::uint8_t>(m_settings.stopBits)) +
                  TelnetCodec::request(TelnetCodec::SetControl, TelnetCodec::NoFlowControl) +
                  TelnetCodec::request(TelnetCodec::PurgeData, TelnetCodec::PurgeReceiveBuffer);
    note(tr("settings sent: %1 baud, %2, no flow control; purge sent")
             .arg(QString::number(m_settings.baud), m_settings.framingText()));
}

// The last answer to each request counts; an answer before the request went out confirms
// nothing.
void Rfc2217Session::onSettingConfirmed(TelnetCodec::Request request, quint32 value, Time now)
{
    if (m_state != State::Negotiating || !m_settingsSent || request > TelnetCodec::SetStopSize)
        return;
    m_confirmed[request] = value;
    const bool all = std::all_of(std::begin(Settings), std::end(Settings),
                                 [this](auto asked) { return m_confirmed[asked].has_value(); });
    if (all && !m_settingsConfirmedAt)
        m_settingsConfirmedAt = now;
}

void Rfc2217Session::onPurgeConfirmed()
{
    if (m_state == State::Negotiating) {
        if (m_settingsSent)
            m_probeConfirmed = true;
        return;
    }
    if (m_purgesWaiting.empty()) {
        note(tr("a purge confirmation that no purge waits for, ignored"));
        return;
    }
    m_purgesWaiting.pop_front();
    if (m_purgesWaiting.empty()) {
        note(tr("purge confirmed, %1 stale bytes dropped").arg(m_dropped));
        m_dropped = 0;
    }
}

void Rfc2217Session::onDrainAnswered()
{
    if (m_drainsWaiting.empty()) {
        note(tr("an answer that no drain waits for, ignored"));
        return;
    }
    m_drainsWaiting.pop_front();
}

void Rfc2217Session::advance(Time now)
{
    m_now = std::max(m_now, now);
    if (m_state == State::Negotiating) {
        checkNegotiation(m_now);
        return;
    }
    const std::optional<Time> due = nextDeadline();
    if (m_state == State::Open && due && m_now >= *due)
        fail(Failure::Stalled,
             tr("no answer for %1 s")
                 .arg(std::chrono::duration_cast<std::chrono::seconds>(StallBound).count()));
}

void Rfc2217Session::checkNegotiation(Time now)
{
    if (m_settingsConfirmedAt) {
        QStringList notTaken;
        const quint32 wanted[] = {
            static_cast<quint32>(m_settings.baud), static_cast<quint32>(m_settings.dataBits),
            parityValue(m_settings.parity), static_cast<quint32>(m_settings.stopBits)};
        for (std::size_t i = 0; i < std::size(Settings); ++i) {
            // Every setting is confirmed by now; a missing one would read as not taken.
            const quint32 got = m_confirmed[Settings[i]].value_or(0);
            if (got != wanted[i])
                notTaken << tr("asked %1 for request %2, got %3")
                                .arg(QString::number(wanted[i]), QString::number(Settings[i]),
                                     QString::number(got));
        }
        if (!notTaken.isEmpty()) {
            fail(Failure::SettingsNotTaken, tr("the server did not take the settings (%1)")
                                                .arg(notTaken.join(QStringLiteral("; "))));
            return;
        }
        const bool probeLate = now - *m_settingsConfirmedAt >= PurgeBound;
        if (!m_probeConfirmed && !probeLate)
            return; // the purge has a little longer
        m_confirmsPurges = m_probeConfirmed;
        m_state = State::Open;
        note(tr("settings confirmed: %1 baud, %2")
                 .arg(QString::number(m_settings.baud), m_settings.framingText()));
        if (!m_confirmsPurges)
            note(tr("the server does not confirm purges within %1 ms; only what waits here "
                    "is dropped")
                     .arg(PurgeBound.count()));
        return;
    }
    if (now - m_startedAt < SettingsTimeout)
        return;
    const QString seconds =
        QString::number(std::chrono::duration_cast<std::chrono::seconds>(SettingsTimeout).count());
    if (!m_codec.heardTelnet()) {
        fail(Failure::NoTelnet, tr("the server did not speak telnet (RFC 2217) within %1 s; if "
                                   "it serves the line as it is, use %2")
                                    .arg(seconds, m_rawUrl));
    } else if (!m_comPortAccepted) {
        fail(Failure::SettingsNotTaken,
             tr("the server did not take the COM-PORT option within %1 s").arg(seconds));
    } else {
        QStringList unanswered;
        for (const TelnetCodec::Request request : Settings) {
            if (!m_confirmed[request])
                unanswered << tr("no answer to request %1").arg(request);
        }
        fail(Failure::SettingsNotTaken, tr("the server did not take the settings within %1 s (%2)")
                                            .arg(seconds, unanswered.join(QStringLiteral("; "))));
    }
}

std::optional<Rfc2217Session::Time> Rfc2217Session::nextDeadline() const
{
    switch (m_state) {
    case State::Negotiating:
        if (m_settingsConfirmedAt)
            return *m_settingsConfirmedAt + PurgeBound;
        return m_startedAt + SettingsTimeout;
    case State::Open: {
        // The oldest request still unanswered, of either kind.
        std::optional<Time> oldest;
        for (const std::deque<Time> *waiting : {&m_purgesWaiting, &m_drainsWaiting}) {
            if (!waiting->empty() && (!oldest || waiting->front() < *oldest))
                oldest = waiting->front();
        }
        if (oldest)
            return *oldest + StallBound;
        return std::nullopt;
    }
    case State::Failed:
        break;
    }
    return std::nullopt;
}

void Rfc2217Session::serverClosed()
{
    if (m_state == State::Failed)
        return;
    const QString words = serverWords();
    if (m_state == State::Negotiating && !words.isEmpty())
        fail(Failure::Closed, tr("the server said: %1").arg(words));
    else
        fail(Failure::Closed, tr("the server closed the connection"));
}

void Rfc2217Session::purge(Time now)
{
    advance(now);
    if (m_state != State::Open)
        return;
    m_outgoing += TelnetCodec::request(TelnetCodec::PurgeData, TelnetCodec::PurgeReceiveBuffer);
    if (!m_confirmsPurges)
        return;
    if (m_purgesWaiting.empty())
        m_dropped = 0;
    if (m_purgesWaiting.size() < PurgesLimit)
        m_purgesWaiting.push_back(m_now);
}

void Rfc2217Session::send(const QByteArray &lineBytes)
{
    if (m_state == State::Open)
        m_outgoing += TelnetCodec::escape(lineBytes);
}

void Rfc2217Session::drain(Time now)
{
    advance(now);
    if (m_state != State::Open)
        return;
    m_outgoing += TelnetCodec::request(TelnetCodec::SetDataSize, TelnetCodec::CurrentValue);
    if (m_drainsWaiting.size() < DrainsLimit)
        m_drainsWaiting.push_back(m_now);
}

QByteArray Rfc2217Session::takeOutgoing()
{
    return std::exchange(m_outgoing, QByteArray());
}

QList<QString> Rfc2217Session::takeNotes()
{
    return std::exchange(m_notes, QList<QString>());
}

void Rfc2217Session::fail(Failure failure, const QString &reason)
{
    m_state = State::Failed;
    m_failure = failure;
    m_failureReason = reason;
    m_purgesWaiting.clear();
    m_drainsWaiting.clear();
}

void Rfc2217Session::note(const QString &text)
{
    // A server can make a note per answer; nobody reads more than a screenful.
    constexpr qsizetype NotesLimit = 64;
    if (m_notes.size() < NotesLimit)
        m_notes.append(text);
}

// Printable ASCII only, line ends as spaces, cut short: a terminal or a message box shows
// it as it is.
QString Rfc2217Session::serverWords() const
{
    QString words;
    for (const char c : m_rawWords) {
        const bool space = c == ' ' || c == '\r' || c == '\n' || c == '\t';
        if (space) {
            if (!words.isEmpty() && !words.endsWith(QLatin1Char(' ')))
                words += QLatin1Char(' ');
        } else if (c > ' ' && c < 0x7f) {
            words += QLatin1Char(c);
        }
    }
    words = words.trimmed();
    if (words.size() > ShownWordsLimit)
        words = words.left(ShownWordsLimit - 3) + QStringLiteral("...");
    return words;
}
