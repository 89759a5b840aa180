#pragma once

#include <QString>

namespace sim {

// Owns both ends of a pty. The master is nonblocking; the slave is put in raw mode
// and kept open so the master never sees a hang-up while the program under test
// closes and reopens the slave. Both fds are close-on-exec: a child holding the
// master would keep the line alive after we close it.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool open();
    void close();

    bool isOpen() const { return m_master >= 0; }
    int masterFd() const { return m_master; }
    int slaveFd() const { return m_slave; }
    QString slavePath() const { return m_slavePath; } // still known after close()

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

} // namespace sim
