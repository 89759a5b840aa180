#include "bus/traffic.h"

#include "bus/frames.h"

namespace traffic {

QByteArray masterFrame(const QByteArray &bytes)
{
    const QByteArray anySetAddress = frames::setAddressFrame(1);
    const QByteArray setAddress = anySetAddress.left(5); // 80 02 00 'I' 'A'
    for (qsizetype at = 0; at + 4 <= bytes.size(); ++at) {
        const auto first = static_cast<unsigned char>(bytes.at(at));
        if (first < 0x80 || first > 0x80 + frames::LastAddress || bytes.at(at + 1) != frames::STX)
            continue;
        if (bytes.at(at + 2) == '?' && bytes.at(at + 3) == frames::ETX)
            return bytes.mid(at, 4);
        const qsizetype setAddressSize = anySetAddress.size();
        if (bytes.mid(at, setAddress.size()) == setAddress && at + setAddressSize <= bytes.size() &&
            bytes.at(at + setAddressSize - 1) == frames::ETX)
            return bytes.mid(at, setAddressSize);
    }
    return QByteArray();
}

} // namespace traffic

void EchoAccount::wrote(const QByteArray &bytes)
{
    if (m_adapter == Adapter::DoesNotEcho)
        return;
    m_owed.append(bytes);
    if (m_owed.size() > MostOwed) // never settled: no reply window was waited for
        m_owed = m_owed.right(MostOwed);
}

// An echo with one byte altered on the way back is still the echo, changed: a collision,
// or a bad adapter. A reply never repeats the frame it answers.
bool EchoAccount::isAlteredEcho(const QByteArray &received) const
{
    if (m_owed.size() < 3 || received.size() < m_owed.size())
        return false;
    int differing = 0;
    for (qsizetype i = 0; i < m_owed.size(); ++i)
        differing += received.at(i) != m_owed.at(i) ? 1 : 0;
    return differing == 1;
}

bool EchoAccount::mayBeEcho(const QByteArray &received) const
{
    return m_adapter != Adapter::DoesNotEcho && !received.isEmpty() &&
           received.size() <= m_owed.size() && m_owed.startsWith(received);
}

EchoAccount::Settled EchoAccount::settle(const QByteArray &received, bool windowOver)
{
    Settled settled;
    if (m_owed.isEmpty())
        return settled;
    if (received.startsWith(m_owed)) {
        settled.echoBytes = m_owed.size();
        m_owed.clear();
        m_adapter = Adapter::Echoes;
        return settled;
    }
    if (mayBeEcho(received)) {
        if (!windowOver) { // the rest of it is still on its way
            settled.echoBytes = received.size();
            m_owed.remove(0, received.size());
            return settled;
        }
        // Only the start of it by the window's end: cut short, from an adapter known to
        // echo; otherwise a reply that begins as the echo would, a lone ACK.
        settled.changed = m_adapter == Adapter::Echoes;
        m_owed.clear();
        return settled;
    }
    if (!windowOver && received.isEmpty())
        return settled;
    // Something other than the echo came first, or nothing by the window's end.
    if (isAlteredEcho(received)) {
        settled.changed = true;
        m_adapter = Adapter::Echoes;
    } else if (m_adapter == Adapter::Echoes) {
        settled.changed = !received.isEmpty();
    } else if (windowOver && received.isEmpty()) {
        // A whole window and nothing came back. A reply where the echo should have been
        // does not tell: it may be an echo garbled past recognition, and taking the
        // adapter for one that does not echo would judge every echo after it a reply.
        m_adapter = Adapter::DoesNotEcho;
    }
    m_owed.clear();
    return settled;
}

void EchoAccount::forget()
{
    m_adapter = Adapter::Unknown;
    m_owed.clear();
}
