#include "line/networkconnection.h"

#include <winsock2.h>
// After winsock2.h, whose types it uses.
#include <ws2tcpip.h>

// The same options by the same names as on Linux, since Windows 10 1709 (Qt 6.8 needs a
// later one). TCP_MAXRT, in whole seconds, is what TCP_USER_TIMEOUT is on Linux: how long
// unacknowledged data is retransmitted before the connection is dropped.
void NetworkConnection::setKeepAliveTimes()
{
    const auto socket = static_cast<SOCKET>(m_socket.socketDescriptor());
    const auto setOption = [socket](int option, DWORD value) {
        ::setsockopt(socket, IPPROTO_TCP, option, reinterpret_cast<const char *>(&value),
                     sizeof value);
    };
    setOption(TCP_KEEPIDLE, static_cast<DWORD>(KeepAliveIdle.count()));
    setOption(TCP_KEEPINTVL, static_cast<DWORD>(KeepAliveInterval.count()));
    setOption(TCP_KEEPCNT, static_cast<DWORD>(KeepAliveProbes));
    setOption(TCP_MAXRT,
              static_cast<DWORD>(std::chrono::ceil<std::chrono::seconds>(UserTimeout).count()));
}

// Windows tells it only through SIO_TCP_INFO, which is not asked here: a drain takes bytes
// handed to the system as arrived.
qint64 NetworkConnection::unacknowledged() const
{
    return 0;
}
