#include "line/portmap.h"

QString PortMap::builtInDevice(int port)
{
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

QString PortMap::exampleAdapter()
{
    return QStringLiteral("/dev/ttyUSB0");
}

QString systemDeviceName(const QString &device)
{
    return device;
}
