#include "sim/pseudoterminal.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#if __has_include(<pty.h>)
#include <pty.h>
#else
#include <util.h>
#endif

namespace sim {

namespace {

bool addFdFlags(int fd, int getCommand, int setCommand, int flags)
{
    const int current = ::fcntl(fd, getCommand);
    return current >= 0 && ::fcntl(fd, setCommand, current | flags) == 0;
}

QString slaveNameOf(int master, int slave)
{
    char name[128] = {};
#if defined(__GLIBC__)
    if (::ptsname_r(master, name, sizeof name) == 0)
        return QFile::decodeName(name);
#else
    Q_UNUSED(master);
#endif
    if (::ttyname_r(slave, name, sizeof name) == 0)
        return QFile::decodeName(name);
    return QString();
}

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    close();
}

bool PseudoTerminal::open()
{
    close();
    if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return false;
    }

    termios settings{};
    const bool ok = ::tcgetattr(m_slave, &settings) == 0 &&
                    (::cfmakeraw(&settings), ::tcsetattr(m_slave, TCSANOW, &settings) == 0) &&
                    addFdFlags(m_master, F_GETFL, F_SETFL, O_NONBLOCK) &&
                    addFdFlags(m_master, F_GETFD, F_SETFD, FD_CLOEXEC) &&
                    addFdFlags(m_slave, F_GETFD, F_SETFD, FD_CLOEXEC);
    m_slavePath = ok ? slaveNameOf(m_master, m_slave) : QString();
    if (m_slavePath.isEmpty()) {
        close();
        return false;
    }
    return true;
}

void PseudoTerminal::close()
{
    // Master first: the slave side sees the hang-up as soon as the master goes.
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = m_slave = -1;
}

} // namespace sim
