#include "line/systemqueue.h"

#include <QAbstractSocket>

// winsock2.h first: windows.h alone brings in the older winsock.h, which clashes with it.
#include <winsock2.h>

#include <windows.h>

namespace SystemQueue {

namespace {

SOCKET socketOf(QAbstractSocket &socket)
{
    return static_cast<SOCKET>(socket.socketDescriptor());
}

} // namespace

// Qt reads from the driver only once the event loop has seen bytes arrive, so a reply
// that came at the end of a window still waits there. ClearCommError() tells how much,
// as FIONREAD does elsewhere; Qt neither uses nor keeps the error flags it clears.
qint64 waiting(QSerialPort &port)
{
    COMSTAT status{};
    return ::ClearCommError(port.handle(), nullptr, &status) != 0 ? status.cbInQue : 0;
}

qint64 waiting(QAbstractSocket &socket)
{
    u_long count = 0;
    return ::ioctlsocket(socketOf(socket), FIONREAD, &count) == 0 ? count : 0;
}

// QSerialPort::clear() purges with PURGE_RXABORT, which fails a read Qt has pending with
// the error a pulled adapter gives. Only the driver's queue is purged here; a read that
// completed meanwhile is taken in, then Qt's buffer emptied.
void discardReceived(QSerialPort &port)
{
    ::PurgeComm(port.handle(), PURGE_RXCLEAR);
    port.waitForReadyRead(0);
    port.readAll();
}

// The write itself completed in handOver(); FlushFileBuffers() returns once the driver
// has sent what it holds for the port.
bool waitUntilSent(QSerialPort &port)
{
    return ::FlushFileBuffers(port.handle()) != 0;
}

// Windows writes a port by overlapped WriteFile: there is no descriptor to poll for room,
// and the bytes are with the driver once the write completes, which waitForBytesWritten()
// waits for on the write itself, without an event loop.
bool waitForRoom(QSerialPort &port, std::chrono::milliseconds limit)
{
    return port.waitForBytesWritten(static_cast<int>(limit.count()));
}

bool waitForRoom(QAbstractSocket &socket, std::chrono::milliseconds limit)
{
    WSAPOLLFD room{socketOf(socket), POLLWRNORM, 0};
    return ::WSAPoll(&room, 1, static_cast<INT>(limit.count())) >= 0;
}

} // namespace SystemQueue
