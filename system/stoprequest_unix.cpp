#include "system/stoprequest.h"

#ifdef Q_OS_UNIX

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
    m_notifier = new QSocketNotifier(requestPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopRequest::readRequests);
    m_watching = true;
}

StopRequest::~StopRequest()
{
    if (!m_watching)
        return;
    for (int signalNumber : StopSignals)
        ::signal(signalNumber, SIG_DFL);
    delete m_notifier;
    for (int &fd : requestPipe) {
        ::close(fd);
        fd = -1;
    }
}

void StopRequest::readRequests()
{
    unsigned char signalNumber = 0;
    while (::read(requestPipe[0], &signalNumber, 1) == 1)
        emit stopRequested(128 + signalNumber);
}

#elif defined(Q_OS_WIN)

#include <QMetaObject>

#include <mutex>
#include <windows.h>

namespace {

// The console calls its handlers on a thread of its own; the request is handed to the
// object's thread through its event queue. The lock keeps the object from going away
// between the handler finding it and posting to it.
std::mutex instanceLock;
StopRequest *instance = nullptr;

// Windows ends a process a few seconds after its console closes whatever it does (5 s by
// default); this stays under that.
constexpr DWORD UnwindGraceMs = 4000;

int exitStatusFor(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return StopRequest::InterruptStatus;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return StopRequest::TerminateStatus;
    default:
        return 0;
    }
}

BOOL WINAPI forwardConsoleEvent(DWORD event)
{
    const int status = exitStatusFor(event);
    if (status == 0)
        return FALSE;
    {
        const std::lock_guard<std::mutex> lock(instanceLock);
        if (instance == nullptr)
            return FALSE; // the default: the process ends now
        StopRequest *target = instance;
        QMetaObject::invokeMethod(
            target, [target, status] { emit target->stopRequested(status); }, Qt::QueuedConnection);
    }
    if (status == StopRequest::InterruptStatus)
        return TRUE;
    // For the others the process is ended as soon as this returns. Waiting here lets the
    // main thread unwind and end the process itself, with its own exit status, which also
    // ends this wait; a main thread that hangs is ended when the wait is over.
    ::Sleep(UnwindGraceMs);
    return TRUE;
}

} // namespace

StopRequest::StopRequest(QObject *parent) : QObject(parent)
{
    {
        const std::lock_guard<std::mutex> lock(instanceLock);
        if (instance != nullptr)
            return;
        instance = this;
    }
    if (::SetConsoleCtrlHandler(forwardConsoleEvent, TRUE) == 0) {
        const std::lock_guard<std::mutex> lock(instanceLock);
        instance = nullptr;
        return;
    }
    m_watching = true;
}

StopRequest::~StopRequest()
{
    if (!m_watching)
        return;
    ::SetConsoleCtrlHandler(forwardConsoleEvent, FALSE);
    // A handler running now either posted already (QObject drops the event with this
    // object) or finds no instance and leaves the event to the default handling.
    const std::lock_guard<std::mutex> lock(instanceLock);
    instance = nullptr;
}

#endif
