#include "line/portmap.h"

#include <QRegularExpression>

QString PortMap::builtInDevice(int port)
{
    // The name Windows shows: systemDeviceName() makes the one it opens by.
    return QStringLiteral("COM%1").arg(port);
}

QString PortMap::exampleAdapter()
{
    return QStringLiteral("COM3");
}

QString systemDeviceName(const QString &device)
{
    // QSerialPort puts \\.\ before a name that starts with "COM" itself, but only in
    // capitals: "com12" as typed would be left as a DOS name, which stops at COM9.
    static const QRegularExpression comPort(QStringLiteral("^com[0-9]+$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (comPort.match(device).hasMatch())
        return QStringLiteral("\\\\.\\") + device.toUpper();
    return device;
}
