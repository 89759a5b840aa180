#pragma once

#include <QByteArray>

#include <optional>

namespace sim {

namespace wire {
constexpr quint8 Ack = 0x06;
constexpr quint8 Stx = 0x02;
constexpr quint8 Etx = 0x03;
constexpr quint8 Nak = 0x15;
constexpr quint8 AddressBase = 0x80; // first byte of a frame is 0x80 + address
constexpr int MaxAddress = 126;
} // namespace wire

struct Frame
{
    enum Kind { Poll, SetAddress };
    Kind kind = Poll;
    int address = 0;    // the reader the frame is addressed to
    int newAddress = 0; // SetAddress only
};

// Cuts the byte stream coming from the program into frames. No I/O and no clock,
// so it can be exercised byte by byte.
class FrameParser
{
public:
    // Returns the frame completed by this byte, if it completed a well-formed one.
    std::optional<Frame> feed(quint8 byte);
    bool inFrame() const { return m_collecting; }
    void reset();

    // Decodes one complete frame, address byte through ETX.
    static std::optional<Frame> decode(const QByteArray &frame);

private:
    QByteArray m_buffer;
    bool m_collecting = false;
};

} // namespace sim
