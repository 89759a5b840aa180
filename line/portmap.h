#pragma once

#include <QMap>
#include <QString>

// Which device stands behind the radios "Com 1" .. "Com 5". A device given for a port
// (from the command line) wins; then ROLLCALL_COM<n> from the environment, on every
// platform (a USB adapter, or a pseudo-terminal in tests); otherwise COMn on Windows
// and /dev/ttyS<n-1> elsewhere.
class PortMap
{
public:
    static constexpr int FirstPort = 1;
    static constexpr int LastPort = 5;

    void setDevice(int port, const QString &device);
    QString deviceFor(int port) const;
    // What "Com <port>" stands for when nothing names a device for it.
    static QString builtInDevice(int port);
    // The name a USB serial adapter usually has here, for examples.
    static QString exampleAdapter();

private:
    QMap<int, QString> m_devices;
};

// The name the system opens `device` by. On Windows "COMn", in any case, is \\.\COMn: the
// only name COM10 and above open by. Elsewhere `device` itself.
QString systemDeviceName(const QString &device);
