#include "bus/replytimer.h"

#include "system/timerresolution.h"

#include <QElapsedTimer>
#include <QTimer>

struct ReplyTimer::Clock
{
    explicit Clock(ReplyTimer *owner) : timer(owner) {}

    // Qt counts whole milliseconds; rounding up keeps the window from being short.
    void arm(std::chrono::nanoseconds remaining)
    {
        timer.start(std::chrono::ceil<std::chrono::milliseconds>(remaining));
    }

    QTimer timer;
    QElapsedTimer started; // monotonic, from the start of the window
    FineTimerResolution resolution;
};

ReplyTimer::ReplyTimer(QObject *parent) : QObject(parent), m_clock(std::make_unique<Clock>(this))
{
    QTimer &timer = m_clock->timer;
    timer.setSingleShot(true);
    // Coarse timers may fire up to 5% early; the reply window must never be short.
    timer.setTimerType(Qt::PreciseTimer);
    // The window is over by the clock, not by the timer: one that came early waits for the
    // rest.
    connect(&timer, &QTimer::timeout, this, [this] {
        if (!m_active)
            return;
        const std::chrono::nanoseconds elapsed(m_clock->started.nsecsElapsed());
        if (elapsed < m_interval) {
            m_clock->arm(m_interval - elapsed);
            return;
        }
        m_clock->resolution.hold(false);
        expire();
    });
}

ReplyTimer::~ReplyTimer() = default;

void ReplyTimer::start()
{
    m_clock->started.start();
    m_active = true;
    m_clock->resolution.hold(true);
    m_clock->arm(m_interval);
}

void ReplyTimer::stop()
{
    m_clock->timer.stop();
    m_active = false;
    m_clock->resolution.hold(false);
}
