#include "simulatedline.h"

#include <QByteArray>

namespace {
QByteArray variableFor(int port)
{
    return "ROLLCALL_COM" + QByteArray::number(port);
}
} // namespace

SimulatedLine::SimulatedLine(int port) : m_port(port)
{
    qputenv(variableFor(port).constData(), m_bus.slavePath().toLocal8Bit());
}

SimulatedLine::~SimulatedLine()
{
    unmapPort(m_port);
}

termios SimulatedLine::settings() const
{
    termios t{};
    ::tcgetattr(m_bus.slaveFd(), &t);
    return t;
}

int SimulatedLine::baudRate() const
{
    const termios t = settings();
    switch (cfgetispeed(&t)) {
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    default:
        return -1;
    }
}

bool SimulatedLine::isRawOneStopBit() const
{
    const termios t = settings();
    return !(t.c_cflag & CSTOPB) && !(t.c_cflag & CRTSCTS) && !(t.c_iflag & (IXON | IXOFF)) &&
           !(t.c_lflag & (ICANON | ECHO));
}

void mapPortToMissingDevice(int port)
{
    qputenv(variableFor(port).constData(), "/dev/rollcall-test-no-such-device");
}

void unmapPort(int port)
{
    qunsetenv(variableFor(port).constData());
}
