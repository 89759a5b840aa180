#include "line/serialportlist.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace {

// Follows links such as /dev/serial/by-id/...
QString canonical(const QString &device)
{
    const QString resolved = QFileInfo(device).canonicalFilePath();
    return resolved.isEmpty() ? device : resolved;
}

} // namespace

bool isSameDevice(const QString &one, const QString &other)
{
    return one == other || canonical(one) == canonical(other);
}

SerialPortEntry SerialPortList::entryOf(const QSerialPortInfo &info)
{
    return {info.systemLocation(), info.description(), info.manufacturer(), info.serialNumber()};
}

QString SerialPortList::lastingNameHint()
{
    return QCoreApplication::translate("SerialPortList",
                                       "A /dev/serial/by-id/ path stays the same when the "
                                       "adapter is plugged in again.");
}
