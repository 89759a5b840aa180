#pragma once

// The program's end of the simulated line, driven with plain POSIX calls so the
// tests do not depend on how rollcall itself opens ports.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

class PcSide
{
public:
    explicit PcSide(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios settings{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~PcSide() { close(); }
    PcSide(const PcSide &) = delete;
    PcSide &operator=(const PcSide &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool hungUp() const { return m_hungUp; }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool write(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t count = ::write(m_fd, bytes.constData() + done, bytes.size() - done);
            if (count > 0) {
                done += count;
                continue;
            }
            if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{m_fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        return true;
    }

    // Reads until `count` bytes arrived, the line hung up, or the time is up.
    QByteArray read(int count, int timeoutMs)
    {
        QByteArray data;
        QDeadlineTimer deadline(timeoutMs);
        char buffer[4096];
        while (data.size() < count && !m_hungUp) {
            const ssize_t got =
                ::read(m_fd, buffer, size_t(qMin<qsizetype>(sizeof buffer, count - data.size())));
            if (got > 0) {
                data.append(buffer, int(got));
                continue;
            }
            if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                m_hungUp = true;
                break;
            }
            const qint64 left = deadline.remainingTime();
            if (left <= 0)
                break;
            pollfd p{m_fd, POLLIN, 0};
            ::poll(&p, 1, int(left));
        }
        return data;
    }

    // Everything that arrives within timeoutMs.
    QByteArray readFor(int timeoutMs) { return read(INT_MAX, timeoutMs); }

    // Reads until the line has been quiet for quietMs (or maxMs passed).
    QByteArray drain(int quietMs, int maxMs = 5000)
    {
        QByteArray data;
        QDeadlineTimer deadline(maxMs);
        for (;;) {
            const QByteArray chunk = read(INT_MAX, quietMs);
            data += chunk;
            if (chunk.isEmpty() || m_hungUp || deadline.hasExpired())
                return data;
        }
    }

private:
    int m_fd = -1;
    bool m_hungUp = false;
};

inline QByteArray pollFrame(int address)
{
    const char bytes[] = {char(0x80 + address), 0x02, 0x3F, 0x03};
    return QByteArray(bytes, 4);
}

inline QByteArray setAddressFrame(const QByteArray &digits)
{
    return QByteArray("\x80\x02\x00\x49\x41", 5) + digits + QByteArray(1, '\x03');
}

inline QByteArray ack()
{
    return QByteArray(1, '\x06');
}
