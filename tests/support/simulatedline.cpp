#include "tests/support/simulatedline.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>

#include <atomic>

namespace {
QByteArray variableFor(int port)
{
    return "ROLLCALL_COM" + QByteArray::number(port);
}
} // namespace

SimulatedLine::SimulatedLine(int port) : m_port(port), m_device(publishUniquely(m_bus))
{
    qputenv(variableFor(port).constData(), m_device.toLocal8Bit());
}

SimulatedLine::~SimulatedLine()
{
    // A line made to replace this one (an adapter plugged back in) has mapped the port
    // to itself already; that mapping stays.
    if (qEnvironmentVariable(variableFor(m_port).constData()) == m_device)
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
    return (t.c_cflag & CSTOPB) == 0 && (t.c_cflag & CRTSCTS) == 0 &&
           (t.c_iflag & (IXON | IXOFF)) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0;
}

QString publishUniquely(sim::ReaderBus &bus)
{
    static std::atomic<int> published{0};
    const QString link = QDir::temp().filePath(QStringLiteral("rollcall-test-%1-%2")
                                                   .arg(QCoreApplication::applicationPid())
                                                   .arg(++published));
    return bus.publishAt(link) ? link : bus.slavePath();
}

void mapPortToMissingDevice(int port)
{
    qputenv(variableFor(port).constData(), "/dev/rollcall-test-no-such-device");
}

void unmapPort(int port)
{
    qunsetenv(variableFor(port).constData());
}
