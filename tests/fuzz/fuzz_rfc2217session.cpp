// libFuzzer target: an RFC 2217 session driven by an untrusted server and a client that
// purges, sends and lets time pass in any order. Beyond the sanitizers' own checks, it
// holds the session to its bounds and its rules after every step: nothing it keeps or
// sends grows faster than what it was given or asked, a deadline is never let pass, a
// failure is final, and a purge drops only what came before its confirmation.
//
// Input: the first byte picks the line settings; then each byte is an operation, by its
// top three bits:
//   0-3  the server sends the next (low five bits + 1) bytes
//   4    time passes by ((low five bits << 8) | next byte) ms, and advance() is called
//   5    the same, with no call: the session learns of it at its next step
//   6    the client purges (bit 4 clear), or sends the next (low four bits + 1) bytes
//   7    0xFF: the server closes; any other: time passes by the low five bits, advance()
#include "line/rfc2217session.h"
#include "line/telnetcodec.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

using Session = Rfc2217Session;
using Time = Session::Time;

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

LineSettings settingsOf(std::uint8_t byte)
{
    // 65535 baud puts 0xFF bytes in the request and its answer.
    constexpr qint32 Bauds[] = {9600, 19200, 115200, 65535, 300, 2400, 38400, 57600};
    LineSettings settings = LineSettings::at(Bauds[byte % 8]);
    settings.parity = "NEO"[(byte >> 3) % 3];
    settings.dataBits = 5 + (byte >> 5) % 4;
    settings.stopBits = byte & 0x80 ? 2 : 1;
    return settings;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const LineSettings settings = settingsOf(data[0]);
    Session session(settings, QStringLiteral("socket://127.0.0.1:7000"));
    // The same bytes through a codec of their own: the line bytes the session may keep.
    TelnetCodec reference;
    reference.start();
    const QByteArray purgeRequest =
        TelnetCodec::request(TelnetCodec::PurgeData, TelnetCodec::PurgeReceiveBuffer);

    Time now{0};  // the clock
    Time told{0}; // the latest time the session was given
    session.start(now);
    qsizetype given = 0; // bytes from the server
    qsizetype asked = 0; // bytes the client asked to send, escaped, and its purges
    qsizetype purges = 0;
    QByteArray allSent = session.takeOutgoing();
    const qsizetype helloBytes = allSent.size();
    const qsizetype settingsBytes = 64; // the settings, sent once, are at most this long

    std::size_t at = 1;
    auto take = [&](std::size_t wanted) {
        const std::size_t length = std::min(wanted, size - at);
        const QByteArray bytes(reinterpret_cast<const char *>(data + at),
                               static_cast<qsizetype>(length));
        at += length;
        return bytes;
    };
    while (at < size) {
        const std::uint8_t op = data[at++];
        const Session::State before = session.state();
        const std::optional<Time> deadlineBefore = session.nextDeadline();
        const int waitingBefore = session.purgesWaiting();
        const bool confirmsBefore = session.confirmsPurges();
        bool timed = false; // whether this step hands the session a time
        QByteArray out;
        switch (op >> 5) {
        case 0:
        case 1:
        case 2:
        case 3: {
            const QByteArray segment = take((op & 0x1F) + 1u);
            given += segment.size();
            timed = true;
            const QByteArray kept = session.receive(segment, now);
            out = session.takeOutgoing();
            const QByteArray line =
                before == Session::State::Failed ? QByteArray() : reference.receive(segment);
            reference.takeAnswers();
            reference.takeEvents();
            // A purge drops a head of what came: what is kept is what came last.
            check(line.endsWith(kept));
            check(kept.isEmpty() || session.state() == Session::State::Open);
            if (before == Session::State::Open && waitingBefore == 0 &&
                session.state() == Session::State::Open)
                check(kept == line);
            // An answer per option command, which may have begun in the segment before,
            // and the settings.
            check(out.size() <= segment.size() + 2 + settingsBytes);
            break;
        }
        case 4:
        case 5: {
            const QByteArray step = take(1);
            now += Time((op & 0x1F) << 8 | (step.isEmpty() ? 0 : std::uint8_t(step[0])));
            if (op >> 5 == 4) {
                timed = true;
                session.advance(now);
            }
            out = session.takeOutgoing();
            check(out.isEmpty());
            break;
        }
        case 6:
            if (!(op & 0x10)) {
                ++purges;
                asked += purgeRequest.size();
                timed = true;
                session.purge(now);
                out = session.takeOutgoing();
                const bool open = session.state() == Session::State::Open;
                check(out == (open ? purgeRequest : QByteArray()));
                if (open && session.confirmsPurges()) {
                    const int waiting = before == Session::State::Open ? waitingBefore : 0;
                    check(session.purgesWaiting() ==
                          std::min<int>(waiting + 1, int(Session::PurgesLimit)));
                }
            } else {
                const QByteArray line = take((op & 0x0F) + 1u);
                const QByteArray escaped = TelnetCodec::escape(line);
                asked += escaped.size();
                session.send(line);
                out = session.takeOutgoing();
                check(out == (before == Session::State::Open ? escaped : QByteArray()));
            }
            break;
        case 7:
            if (op == 0xFF) {
                session.serverClosed();
                check(session.state() == Session::State::Failed);
            } else {
                now += Time(op & 0x1F);
                timed = true;
                session.advance(now);
            }
            out = session.takeOutgoing();
            check(out.isEmpty());
            break;
        }
        if (timed)
            told = now;
        allSent += out;

        const Session::State state = session.state();
        const bool failed = state == Session::State::Failed;
        // A failure is final and says nothing more; an open session never negotiates again.
        if (before == Session::State::Failed)
            check(failed && out.isEmpty());
        if (before == Session::State::Open)
            check(state != Session::State::Negotiating);
        check(failed == (session.failure() != Session::Failure::None));
        check(failed == !session.failureReason().isEmpty());
        check(session.failureReason().size() <= 400);
        // Learnt once, at the open.
        if (before != Session::State::Negotiating)
            check(session.confirmsPurges() == confirmsBefore);
        if (state == Session::State::Negotiating)
            check(!session.confirmsPurges());
        // Only a server that confirms has purges waiting, and never more than the limit.
        check(session.purgesWaiting() >= 0 && session.purgesWaiting() <= purges);
        check(std::size_t(session.purgesWaiting()) <= Session::PurgesLimit);
        if (session.purgesWaiting() > 0)
            check(state == Session::State::Open && session.confirmsPurges());
        // A deadline is due while something waits, and lies ahead of the latest time.
        const std::optional<Time> deadline = session.nextDeadline();
        check(deadline.has_value() ==
              (state == Session::State::Negotiating ||
               (state == Session::State::Open && session.purgesWaiting() > 0)));
        check(!deadline || *deadline > told);
        // A deadline passed is kept even when no advance() came at it: a negotiation
        // fails or opens as a server that does not confirm, a purge unconfirmed stalls.
        if (timed && deadlineBefore && now >= *deadlineBefore) {
            if (before == Session::State::Negotiating)
                check(failed || (state == Session::State::Open && !session.confirmsPurges()));
            if (before == Session::State::Open && waitingBefore > 0)
                check(session.failure() == Session::Failure::Stalled);
        }
        check(allSent.size() <= helloBytes + settingsBytes + given + asked);
        // Open only once the settings went out.
        if (before == Session::State::Negotiating && state == Session::State::Open)
            check(allSent.contains(TelnetCodec::setBaudRate(quint32(settings.baud))));
        const QList<QString> notes = session.takeNotes();
        check(notes.size() <= 64);
        for (const QString &note : notes)
            check(!note.isEmpty() && note.size() <= 200);
    }
    return 0;
}
