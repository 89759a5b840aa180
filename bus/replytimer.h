#pragma once

#include <QObject>

#include <chrono>
#include <memory>

// A one-shot timer for the reply window. Qt's own timers wake the event loop on whole
// milliseconds, which makes every window end up to a millisecond late; on Linux this
// one is a timerfd, whose readiness wakes the loop within microseconds of the expiry.
// Elsewhere it is Qt's precise timer, checked against a monotonic clock when it fires
// and started again for what is left if it came early: a window that ends short can miss
// a reply. On Windows the system's timer resolution is raised to 1 ms while a window
// runs, or its timers wake the loop only every 15.6 ms. Either way it never fires early.
class ReplyTimer : public QObject
{
    Q_OBJECT
public:
    explicit ReplyTimer(QObject *parent = nullptr);
    ~ReplyTimer() override;

    void setInterval(std::chrono::nanoseconds interval) { m_interval = interval; }
    std::chrono::nanoseconds interval() const { return m_interval; }

    // From now; a running timer starts over.
    void start();
    void stop();
    bool isActive() const { return m_active; }

signals:
    void timeout();

private:
    void expire();

    // What keeps the time: the timerfd and its notifier, or Qt's timer and the clock it
    // is checked against.
    struct Clock;
    std::unique_ptr<Clock> m_clock;
    std::chrono::nanoseconds m_interval{0};
    bool m_active = false;
};
