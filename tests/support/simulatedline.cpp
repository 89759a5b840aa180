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

bool SimulatedLine::isRaw8N1() const
{
    const termios t = settings();
    return (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & PARENB) && !(t.c_cflag & CSTOPB) &&
           !(t.c_lflag & ICANON);
}

void mapPortToMissingDevice(int port)
{
    qputenv(variableFor(port).constData(), "/dev/rollcall-test-no-such-device");
}

void unmapPort(int port)
{
    qunsetenv(variableFor(port).constData());
}
