#pragma once

#include <QProcess>
#include <QString>

// Debian's ser2net serving a device on 127.0.0.1, started for one test: RFC 2217 on one
// free port, raw TCP on another. It opens the device when a client connects.
class Ser2netServer
{
public:
    explicit Ser2netServer(const QString &device, int baud = 9600);
    ~Ser2netServer();
    Ser2netServer(const Ser2netServer &) = delete;
    Ser2netServer &operator=(const Ser2netServer &) = delete;

    // False, with the reason in error(), when it is not installed or did not start.
    bool isRunning() const;
    QString error() const { return m_error; }

    QString rfc2217Url() const;
    QString socketUrl() const;

    // As a crash would: no goodbye on the connections.
    void kill();

private:
    QProcess m_process;
    quint16 m_rfc2217Port = 0;
    quint16 m_rawPort = 0;
    QString m_error;
};

// A port on 127.0.0.1 that nothing listens on at the moment.
quint16 freeLocalPort();
