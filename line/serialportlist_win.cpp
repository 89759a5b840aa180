#include "line/serialportlist.h"

#include "line/portmap.h"

#include <QSerialPortInfo>

bool isSameDevice(const QString &one, const QString &other)
{
    // COM3, com3 and \\.\COM3 are one port; Windows' names ignore case.
    return systemDeviceName(one).compare(systemDeviceName(other), Qt::CaseInsensitive) == 0;
}

// Known as COM3, the name Windows shows, not as \\.\COM3, its system location; "COM3 (USB
// Serial Port)". The manufacturer there is the one the driver's INF file names
// ("Microsoft" for the class driver most adapters use, "(Standard port types)" for a
// built-in port), not the adapter's maker, so it is left out.
SerialPortEntry SerialPortList::entryOf(const QSerialPortInfo &info)
{
    return {info.portName(), info.description(), QString(), info.serialNumber()};
}

// Windows keeps an adapter's COM number itself; it has no paths that would.
QString SerialPortList::lastingNameHint()
{
    return QString();
}
