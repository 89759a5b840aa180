#include "bus/replytimer.h"

#ifdef ROLLCALL_REPLY_TIMER_FD
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
#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>
#endif

ReplyTimer::ReplyTimer(QObject *parent) : QObject(parent), m_timer(this)
{
    m_timer.setSingleShot(true);
    // Coarse timers may fire up to 5% early; the reply window must never be short.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ReplyTimer::onTimer);
}

ReplyTimer::~ReplyTimer()
{
    holdFineResolution(false);
}

void ReplyTimer::start()
{
    m_started.start();
    m_active = true;
    holdFineResolution(true);
    arm(m_interval);
}

void ReplyTimer::stop()
{
    m_timer.stop();
    m_active = false;
    holdFineResolution(false);
}

// Qt counts whole milliseconds; rounding up keeps the window from being short.
void ReplyTimer::arm(std::chrono::nanoseconds remaining)
{
    m_timer.start(std::chrono::ceil<std::chrono::milliseconds>(remaining));
}

// The window is over by the clock, not by the timer: one that came early waits for the
// rest.
void ReplyTimer::onTimer()
{
    if (!m_active)
        return;
    const std::chrono::nanoseconds elapsed(m_started.nsecsElapsed());
    if (elapsed < m_interval) {
        arm(m_interval - elapsed);
        return;
    }
    holdFineResolution(false);
    expire();
}

void ReplyTimer::holdFineResolution(bool hold)
{
    if (hold == m_fineResolution)
        return;
    m_fineResolution = hold;
#ifdef Q_OS_WIN
    if (hold)
        ::timeBeginPeriod(1);
    else
        ::timeEndPeriod(1);
#endif
}

#endif

void ReplyTimer::expire()
{
    m_active = false;
    emit timeout();
}
