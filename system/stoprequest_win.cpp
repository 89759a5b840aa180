#include "system/stoprequest.h"

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

// The console's handler is the process's own; it finds this object by `instance`.
struct StopRequest::Watch
{};

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
    m_watch = std::make_unique<Watch>();
}

StopRequest::~StopRequest()
{
    if (!m_watch)
        return;
    ::SetConsoleCtrlHandler(forwardConsoleEvent, FALSE);
    // A handler running now either posted already (QObject drops the event with this
    // object) or finds no instance and leaves the event to the default handling.
    const std::lock_guard<std::mutex> lock(instanceLock);
    instance = nullptr;
}
