#include "line/systemqueue.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>

namespace SystemQueue {

namespace {

template <typename Device>
bool handOverWhile(Device &device, const std::function<bool()> &keepGoing)
{
    device.flush();
    QDeadlineTimer deadline(WriteLimit);
    while (keepGoing() && device.bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!waitForRoom(device, std::chrono::milliseconds(deadline.remainingTime())))
            break;
        device.flush();
    }
    return device.bytesToWrite() == 0;
}

} // namespace

bool handOver(QSerialPort &port, const std::function<bool()> &stillOpen)
{
    return handOverWhile(port, stillOpen) && stillOpen();
}

bool handOver(QAbstractSocket &socket)
{
    return handOverWhile(socket,
                         [&socket] { return socket.state() == QAbstractSocket::ConnectedState; });
}

} // namespace SystemQueue
