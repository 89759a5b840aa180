#pragma once

#include <QObject>

#include <chrono>

// ROLLCALL_REPLY_TIMER_BY_QT builds the timer of the other systems on Linux too, so its
// tests run here.
#if defined(Q_OS_LINUX) && !defined(ROLLCALL_REPLY_TIMER_BY_QT)
#define ROLLCALL_REPLY_TIMER_FD
class QSocketNotifier;
#else
#include <QElapsedTimer>
#include <QTimer>
#endif

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

    std::chrono::nanoseconds m_interval{0};
    bool m_active = false;
#ifdef ROLLCALL_REPLY_TIMER_FD
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
#else
    void onTimer();
    void arm(std::chrono::nanoseconds remaining);
    void holdFineResolution(bool hold);

    QTimer m_timer;
    QElapsedTimer m_started; // monotonic, from the start of the window
    bool m_fineResolution = false;
#endif
};
