#pragma once

#include "sim/readerbus.h"

#include <QString>
#include <termios.h>

// A reader line on a real pseudo-terminal, mapped to "Com <port>": the program opens
// its slave side with QSerialPort exactly as it would open a USB adapter.
class SimulatedLine
{
public:
    explicit SimulatedLine(int port = 1);
    ~SimulatedLine();

    sim::ReaderBus &bus() { return m_bus; }
    QString device() const { return m_device; }
    int port() const { return m_port; }

    // The settings the program applied to the tty, read back from the device.
    termios settings() const;
    int baudRate() const;
    // One stop bit, no flow control, raw input. A pty forces 8 data bits and no parity
    // whatever is set, so those two cannot be checked through it.
    bool isRawOneStopBit() const;

private:
    sim::ReaderBus m_bus;
    int m_port;
    QString m_device;
};

// Publishes the bus under a link name no other process uses and returns it. The serial
// port's lock file is named after the path it was opened by; pty numbers are reused
// across test processes running side by side, their link names never are.
QString publishUniquely(sim::ReaderBus &bus);

// Points "Com <port>" at a device path that does not exist.
void mapPortToMissingDevice(int port);
void unmapPort(int port);
