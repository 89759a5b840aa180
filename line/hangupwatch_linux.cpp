#include "line/hangupwatch.h"

#include <QSocketNotifier>

#include <array>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

HangupWatch::HangupWatch(QObject *parent) : QObject(parent), m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epoll < 0)
        return;
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &HangupWatch::onReady);
}

HangupWatch::~HangupWatch()
{
    delete m_notifier;
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool HangupWatch::watch(const QSerialPort &port)
{
    const int descriptor = port.handle();
    stop();
    if (m_epoll < 0 || descriptor < 0)
        return false;
    // EPOLLHUP and EPOLLERR are always reported. EPOLLIN is there because a tty's hangup
    // wakes its waiters as "readable" only, and such a wake-up is dropped by a set that
    // did not ask for it; edge-triggered, so bytes left waiting do not keep it ready.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.fd = descriptor;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, descriptor, &event) != 0)
        return false;
    m_descriptor = descriptor;
    m_notifier->setEnabled(true);
    // Gone before it was watched: the set reports it at the first pass of the event loop.
    return true;
}

void HangupWatch::stop()
{
    if (m_descriptor < 0)
        return;
    m_notifier->setEnabled(false);
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_descriptor, nullptr);
    m_descriptor = -1;
}

void HangupWatch::onReady()
{
    std::array<epoll_event, 4> events{};
    const int ready = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 0);
    if (m_descriptor < 0)
        return;
    bool gone = false;
    for (int i = 0; i < ready; ++i)
        gone = gone || (events.at(static_cast<size_t>(i)).events & (EPOLLHUP | EPOLLERR)) != 0;
    if (!gone)
        return; // bytes arrived; QSerialPort takes them
    // The descriptor's own view, in the words the system has for it.
    pollfd state{m_descriptor, 0, 0};
    ::poll(&state, 1, 0);
    const QString reason = (state.revents & POLLERR) != 0 ? tr("the device reported an error")
                                                          : tr("the device hung up");
    stop();
    emit hungUp(reason);
}
