#include "line/networkconnection.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

void NetworkConnection::setKeepAliveTimes()
{
    const auto fd = static_cast<int>(m_socket.socketDescriptor());
    const int idle = static_cast<int>(KeepAliveIdle.count());
    const int interval = static_cast<int>(KeepAliveInterval.count());
    const int probes = KeepAliveProbes;
    const auto userTimeout = static_cast<unsigned>(UserTimeout.count());
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

// What TCP still holds of the bytes sent, sent or not, until the peer acknowledges them.
qint64 NetworkConnection::unacknowledged() const
{
    int waiting = 0;
    const auto fd = static_cast<int>(m_socket.socketDescriptor());
    return ::ioctl(fd, SIOCOUTQ, &waiting) == 0 && waiting > 0 ? waiting : 0;
}
