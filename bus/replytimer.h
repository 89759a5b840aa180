#pragma once

#include <QObject>

#include <chrono>

#ifdef Q_OS_LINUX
class QSocketNotifier;
#else
#include <QElapsedTimer>
#include <QTimer>
#endif

// A one-shot timer for the reply window. Qt's own timers wake the event loop on whole
// milliseconds, which makes every window end up to a millisecond late; on Linux this
// one is a timerfd, whose readiness wakes the loop within microseconds of the expiry.
// Either way it never fires early.
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
#ifdef Q_OS_LINUX
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
#else
    QTimer m_timer;
    QElapsedTimer m_clock;
#endif
};
