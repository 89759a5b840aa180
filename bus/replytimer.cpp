#include "bus/replytimer.h"

#ifdef Q_OS_LINUX
#include <QSocketNotifier>

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

ReplyTimer::ReplyTimer(QObject *parent)
    : QObject(parent), m_fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (m_fd < 0)
        qFatal("no timerfd for the reply window");
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        drain(m_fd);
        if (m_active)
            expire();
    });
}

ReplyTimer::~ReplyTimer()
{
    delete m_notifier;
    ::close(m_fd);
}

void ReplyTimer::start()
{
    drain(m_fd);
    // A zero it_value would disarm the timer; a nanosecond fires at once instead.
    const std::chrono::nanoseconds after = std::max(m_interval, std::chrono::nanoseconds(1));
    const itimerspec expiry = once(after);
    ::timerfd_settime(m_fd, 0, &expiry, nullptr);
    m_active = true;
}

void ReplyTimer::stop()
{
    const itimerspec disarmed{};
    ::timerfd_settime(m_fd, 0, &disarmed, nullptr);
    drain(m_fd);
    m_active = false;
}

#else

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <timeapi.h>
#endif

namespace {

// Windows ticks its timers every 15.6 ms unless a program asks for finer; a window that
// only ends on a tick is up to 15.6 ms long. Asked for while a window runs.
void raiseTimerResolution(bool raise)
{
#ifdef Q_OS_WIN
    if (raise)
        timeBeginPeriod(1);
    else
        timeEndPeriod(1);
#else
    Q_UNUSED(raise);
#endif
}

} // namespace

ReplyTimer::ReplyTimer(QObject *parent) : QObject(parent), m_timer(this)
{
    m_timer.setSingleShot(true);
    // Coarse timers may fire up to 5% early; the reply window must never be short.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // Even a precise timer is only as good as the system's; the clock decides, and
        // a wake that came early waits out the rest.
        const auto left = m_interval - std::chrono::nanoseconds(m_clock.nsecsElapsed());
        if (left > std::chrono::nanoseconds(0)) {
            m_timer.start(std::chrono::ceil<std::chrono::milliseconds>(left));
            return;
        }
        stop();
        expire();
    });
}

ReplyTimer::~ReplyTimer()
{
    stop();
}

void ReplyTimer::start()
{
    if (!m_active)
        raiseTimerResolution(true);
    m_clock.start();
    // Qt counts whole milliseconds; rounding up keeps the window from being short.
    m_timer.start(std::chrono::ceil<std::chrono::milliseconds>(m_interval));
    m_active = true;
}

void ReplyTimer::stop()
{
    m_timer.stop();
    if (m_active)
        raiseTimerResolution(false);
    m_active = false;
}

#endif

void ReplyTimer::expire()
{
    m_active = false;
    emit timeout();
}
