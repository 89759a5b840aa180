#pragma once

#include <QString>

// Counts how often a device node is opened, through inotify: proof from the kernel,
// not from the program, of how many times the port was opened.
class OpenWatch
{
public:
    explicit OpenWatch(const QString &path);
    ~OpenWatch();

    int opens();  // opens seen so far
    int closes(); // closes seen so far

private:
    void drain();

    int m_fd = -1;
    int m_opens = 0;
    int m_closes = 0;
};
