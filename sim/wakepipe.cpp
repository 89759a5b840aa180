#include "sim/wakepipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace sim {

WakePipe::~WakePipe()
{
    for (int &fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool WakePipe::open()
{
    if (::pipe(m_fds) != 0) {
        m_fds[0] = m_fds[1] = -1;
        return false;
    }
    for (int fd : m_fds) {
        // A full pipe already means "wake up", so a dropped write is harmless.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    return true;
}

void WakePipe::wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_fds[1], &byte, 1);
}

void WakePipe::drain()
{
    char buffer[64];
    while (::read(m_fds[0], buffer, sizeof buffer) > 0) {
    }
}

} // namespace sim
