#pragma once

#include <QObject>

#include <memory>

// A stop asked of the program from outside, delivered in the event loop of the thread
// that made this object, so the program unwinds normally (closes its port, prints what it
// has, removes what it published) instead of dying mid-way. It says the exit status the
// program should end with, as a shell reports a process ended by that request:
// InterruptStatus for Ctrl+C, TerminateStatus for a request to end.
//
// Unix: SIGINT and SIGTERM. Windows: the console's Ctrl+C and Ctrl+Break, and its close,
// logoff and shutdown events.
//
// One at a time in a process: a second one made while another exists watches nothing.
// Destroying it gives the requests their default handling back.
class StopRequest : public QObject
{
    Q_OBJECT
public:
    static constexpr int InterruptStatus = 130; // 128 + SIGINT
    static constexpr int TerminateStatus = 143; // 128 + SIGTERM

    explicit StopRequest(QObject *parent = nullptr);
    ~StopRequest() override;
    StopRequest(const StopRequest &) = delete;
    StopRequest &operator=(const StopRequest &) = delete;

    bool isWatching() const { return m_watch != nullptr; }

signals:
    // Once per request, in the order they came.
    void stopRequested(int exitStatus);

private:
    // What the system needs to hand a request over to the event loop; none while this
    // one watches nothing.
    struct Watch;
    std::unique_ptr<Watch> m_watch;
};
