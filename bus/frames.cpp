#include "bus/frames.h"

namespace frames {

namespace {
char addressByte(int address)
{
    return static_cast<char>(0x80 + address);
}
} // namespace

QString addressText(int address)
{
    return QStringLiteral("%1").arg(address, 3, 10, QLatin1Char('0'));
}

QByteArray ackFrame()
{
    return QByteArray(1, ACK);
}

QByteArray pollFrame(int address)
{
    Q_ASSERT(address >= FirstAddress && address <= LastAddress);
    QByteArray frame;
    frame.append(addressByte(address)).append(STX).append('?').append(ETX);
    return frame;
}

QByteArray setAddressFrame(int newAddress)
{
    Q_ASSERT(newAddress >= 1 && newAddress <= LastAddress);
    QByteArray frame;
    frame.append(addressByte(0)).append(STX).append('\0').append("IA");
    frame.append(addressText(newAddress).toLatin1()).append(ETX);
    return frame;
}

} // namespace frames
