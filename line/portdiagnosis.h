#pragma once

#include "line/portproblem.h"

#include <QSerialPort>
#include <QString>

// Tells what stands behind a device path when it cannot serve as a serial port.
namespace PortDiagnosis {

// Decided from the path alone, without opening it: a missing path, or one that is not a
// character device (a regular file, FIFO, directory, socket). None if it may be a port.
// Nothing is opened, so a file keeps its bytes and time stamps and a FIFO never blocks.
// On Windows only a path to a file or a folder is refused here.
PortProblem beforeOpen(const QString &device);

// Why QSerialPort could not open a character device. On Unix the device is probed with
// a non-blocking open that is closed at once and writes nothing; on Windows the port is
// opened again alone, for the reason GetLastError() gives, and closed at once.
PortProblem afterFailedOpen(const QString &device, QSerialPort::SerialPortError error,
                            const QString &errorString);

} // namespace PortDiagnosis
