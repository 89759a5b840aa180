#include "bus/replytimer.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

// An expiry that came before a stop() must not end the next window.
void drain(int fd)
{
    std::uint64_t expirations = 0;
    while (::read(fd, &expirations, sizeof expirations) > 0) {
    }
}

itimerspec once(std::chrono::nanoseconds after)
{
    using namespace std::chrono;
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(duration_cast<seconds>(after).count());
    expiry.it_value.tv_nsec = static_cast<long>((after % seconds(1)).count());
    return expiry;
}

} // namespace

struct ReplyTimer::Clock
{
    explicit Clock(ReplyTimer *owner)
        : fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
    {
        if (fd < 0)
            qFatal("no timerfd for the reply window");
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, owner);
        QObject::connect(notifier, &QSocketNotifier::activated, owner, [this, owner] {
            drain(fd);
            if (owner->m_active)
                owner->expire();
        });
    }

    ~Clock()
    {
        delete notifier;
        ::close(fd);
    }

    Clock(const Clock &) = delete;
    Clock &operator=(const Clock &) = delete;

    int fd;
    QSocketNotifier *notifier = nullptr;
};

ReplyTimer::ReplyTimer(QObject *parent) : QObject(parent), m_clock(std::make_unique<Clock>(this)) {}

ReplyTimer::~ReplyTimer() = default;

void ReplyTimer::start()
{
    drain(m_clock->fd);
    // A zero it_value would disarm the timer; a nanosecond fires at once instead.
    const std::chrono::nanoseconds after = std::max(m_interval, std::chrono::nanoseconds(1));
    const itimerspec expiry = once(after);
    ::timerfd_settime(m_clock->fd, 0, &expiry, nullptr);
    m_active = true;
}

void ReplyTimer::stop()
{
    const itimerspec disarmed{};
    ::timerfd_settime(m_clock->fd, 0, &disarmed, nullptr);
    drain(m_clock->fd);
    m_active = false;
}
