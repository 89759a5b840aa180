#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>

class QSocketNotifier;

// Tells when an open serial device goes away (an adapter pulled out, a pty whose far
// side closed), from the descriptor itself rather than from what QSerialPort reports:
// Qt versions differ there, and some only notice at the next write.
//
// On Linux the descriptor is watched by an epoll set of its own for hangup and error,
// and for arriving bytes edge-triggered only, because the kernel announces a USB
// adapter's hangup as "readable"; the set's readiness wakes the event loop. Nothing
// runs while the line is quiet, and bytes arriving wake it once per arrival, as they
// wake QSerialPort anyway. Elsewhere it watches nothing and QSerialPort's errors stand
// alone; on Windows that is enough, since the wait for bytes Qt keeps pending on the port
// fails at once when the adapter goes, and SerialDevice takes that error as the device
// gone.
class HangupWatch : public QObject
{
    Q_OBJECT
public:
    explicit HangupWatch(QObject *parent = nullptr);
    ~HangupWatch() override;

    // Watches the open port's descriptor instead of any earlier one. False when it
    // cannot, and always where it watches nothing.
    bool watch(const QSerialPort &port);
    // Before the descriptor is closed.
    void stop();

signals:
    // Once per watch(); `reason` in the system's words.
    void hungUp(const QString &reason);

private:
    void onReady();

    int m_epoll = -1;
    int m_descriptor = -1;
    QSocketNotifier *m_notifier = nullptr;
};
