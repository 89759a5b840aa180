#include "line/portmap.h"

#include <QtGlobal>

void PortMap::setDevice(int port, const QString &device)
{
    m_devices.insert(port, device);
}

QString PortMap::deviceFor(int port) const
{
    QString given = m_devices.value(port);
    if (!given.isEmpty())
        return given;
    const QByteArray variable = "ROLLCALL_COM" + QByteArray::number(port);
    QString fromEnvironment = qEnvironmentVariable(variable.constData());
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return builtInDevice(port);
}
