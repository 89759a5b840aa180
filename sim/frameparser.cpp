#include "sim/frameparser.h"

namespace sim {

namespace {

// The longest frame we understand is set-address; anything longer without an ETX
// is line noise and must not make the buffer grow.
constexpr int MaxFrameSize = 9;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::optional<Frame> decodePoll(const QByteArray &f)
{
    if (f.size() != 4 || quint8(f[1]) != wire::Stx || f[2] != '?')
        return std::nullopt;
    const int address = quint8(f[0]) - wire::AddressBase;
    if (address > wire::MaxAddress) // 0xFF would be address 127
        return std::nullopt;
    return Frame{Frame::Poll, address, 0};
}

std::optional<Frame> decodeSetAddress(const QByteArray &f)
{
    // Readers take a new address only while they still sit at the factory address 0.
    if (f.size() != 9 || quint8(f[0]) != wire::AddressBase || quint8(f[1]) != wire::Stx ||
        f[2] != '\0' || f[3] != 'I' || f[4] != 'A')
        return std::nullopt;
    if (!isDigit(f[5]) || !isDigit(f[6]) || !isDigit(f[7]))
        return std::nullopt;
    const int newAddress = (f[5] - '0') * 100 + (f[6] - '0') * 10 + (f[7] - '0');
    if (newAddress < 1 || newAddress > wire::MaxAddress)
        return std::nullopt;
    return Frame{Frame::SetAddress, 0, newAddress};
}

} // namespace

std::optional<Frame> FrameParser::feed(quint8 byte)
{
    if (byte >= wire::AddressBase) {
        // An address byte always opens a frame; whatever was pending is abandoned.
        m_buffer.clear();
        m_buffer.append(char(byte));
        m_collecting = true;
        return std::nullopt;
    }
    if (!m_collecting)
        return std::nullopt; // the lone ACK before frames, or noise between them

    m_buffer.append(char(byte));
    if (byte == wire::Etx) {
        const std::optional<Frame> frame = decode(m_buffer);
        reset();
        return frame;
    }
    if (m_buffer.size() >= MaxFrameSize)
        reset();
    return std::nullopt;
}

void FrameParser::reset()
{
    m_buffer.clear();
    m_collecting = false;
}

std::optional<Frame> FrameParser::decode(const QByteArray &frame)
{
    if (frame.isEmpty() || quint8(frame[0]) < wire::AddressBase ||
        quint8(frame.back()) != wire::Etx)
        return std::nullopt;
    if (frame.size() == 4)
        return decodePoll(frame);
    return decodeSetAddress(frame);
}

} // namespace sim
