#include "tests/support/openwatch.h"

#include <QFile>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

OpenWatch::OpenWatch(const QString &path)
{
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd >= 0)
        inotify_add_watch(m_fd, QFile::encodeName(path).constData(),
                          IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
}

OpenWatch::~OpenWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int OpenWatch::opens()
{
    drain();
    return m_opens;
}

int OpenWatch::closes()
{
    drain();
    return m_closes;
}

void OpenWatch::drain()
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->mask & IN_OPEN)
                ++m_opens;
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                ++m_closes;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}
