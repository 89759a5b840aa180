#pragma once

namespace sim {

// Self-pipe that lets other threads interrupt a poll() in the worker.
class WakePipe
{
public:
    WakePipe() = default;
    ~WakePipe();
    WakePipe(const WakePipe &) = delete;
    WakePipe &operator=(const WakePipe &) = delete;

    bool open();
    int readFd() const { return m_fds[0]; }
    void wake();  // async-signal-safe, never blocks
    void drain(); // empties the pipe so poll() blocks again

private:
    int m_fds[2] = {-1, -1};
};

} // namespace sim
