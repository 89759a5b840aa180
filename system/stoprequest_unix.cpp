#include "system/stoprequest.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Written by the signal handler, read in the event loop: a handler may do little more
// than write(). Non-blocking, so a handler never waits on a full pipe.
int requestPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(requestPipe[1], &byte, 1);
    errno = savedErrno;
}

constexpr int StopSignals[] = {SIGINT, SIGTERM};

} // namespace

// The pipe's reading end, watched by the event loop.
struct StopRequest::Watch
{
    explicit Watch(StopRequest *owner) : notifier(requestPipe[0], QSocketNotifier::Read)
    {
        QObject::connect(&notifier, &QSocketNotifier::activated, owner, [owner] {
            unsigned char signalNumber = 0;
            while (::read(requestPipe[0], &signalNumber, 1) == 1)
                emit owner->stopRequested(128 + signalNumber);
        });
    }

    QSocketNotifier notifier;
};

StopRequest::StopRequest(QObject *parent) : QObject(parent)
{
    if (requestPipe[0] >= 0 || ::pipe(requestPipe) != 0)
        return;
    // Kept from any program this one starts.
    for (int fd : requestPipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : StopSignals)
        ::sigaction(signalNumber, &action, nullptr);
    m_watch = std::make_unique<Watch>(this);
}

StopRequest::~StopRequest()
{
    if (!m_watch)
        return;
    for (int signalNumber : StopSignals)
        ::signal(signalNumber, SIG_DFL);
    m_watch.reset(); // the notifier, before its descriptor closes
    for (int &fd : requestPipe) {
        ::close(fd);
        fd = -1;
    }
}
