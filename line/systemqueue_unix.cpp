#include "line/systemqueue.h"

#include <QAbstractSocket>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

// A serial device and a socket are both descriptors here, counted and waited on alike.
namespace SystemQueue {

namespace {

qint64 waitingOn(int descriptor)
{
    int waiting = 0;
    return ::ioctl(descriptor, FIONREAD, &waiting) == 0 && waiting > 0 ? waiting : 0;
}

// An interrupted wait is no failure: the caller looks again.
bool waitForRoomOn(int descriptor, std::chrono::milliseconds limit)
{
    pollfd room{descriptor, POLLOUT, 0};
    return ::poll(&room, 1, static_cast<int>(limit.count())) >= 0 || errno == EINTR;
}

int descriptorOf(QAbstractSocket &socket)
{
    return static_cast<int>(socket.socketDescriptor());
}

} // namespace

qint64 waiting(QSerialPort &port)
{
    return waitingOn(port.handle());
}

qint64 waiting(QAbstractSocket &socket)
{
    return waitingOn(descriptorOf(socket));
}

void discardReceived(QSerialPort &port)
{
    port.clear(QSerialPort::Input);
}

bool waitUntilSent(QSerialPort &port)
{
    int result = 0;
    do {
        result = ::tcdrain(port.handle());
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool waitForRoom(QSerialPort &port, std::chrono::milliseconds limit)
{
    return waitForRoomOn(port.handle(), limit);
}

bool waitForRoom(QAbstractSocket &socket, std::chrono::milliseconds limit)
{
    return waitForRoomOn(descriptorOf(socket), limit);
}

} // namespace SystemQueue
