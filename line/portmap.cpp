#include "line/portmap.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <QRegularExpression>
#endif

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

QString PortMap::builtInDevice(int port)
{
#ifdef Q_OS_WIN
    // The name Windows shows: systemDeviceName() makes the one it opens by.
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QString PortMap::exampleAdapter()
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM3");
#else
    return QStringLiteral("/dev/ttyUSB0");
#endif
}

QString systemDeviceName(const QString &device)
{
#ifdef Q_OS_WIN
    // QSerialPort puts \\.\ before a name that starts with "COM" itself, but only in
    // capitals: "com12" as typed would be left as a DOS name, which stops at COM9.
    static const QRegularExpression comPort(QStringLiteral("^com[0-9]+$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (comPort.match(device).hasMatch())
        return QStringLiteral("\\\\.\\") + device.toUpper();
#endif
    return device;
}
