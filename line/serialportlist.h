#pragma once

#include <QList>
#include <QString>

class QSerialPortInfo;

// One serial port as the system describes it.
struct SerialPortEntry
{
    QString device; // where it is opened, e.g. /dev/ttyUSB0 or COM3
    QString description;
    QString manufacturer;
    QString serialNumber;

    // What the system says stands behind the device ("FT232R USB UART, FTDI"); empty
    // when it says nothing.
    QString behind() const;
};

// A name under /dev/serial/by-id and the device it points at. That name stays the same
// when the adapter is plugged in again or into another socket.
struct StableLink
{
    QString link;   // /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0
    QString target; // /dev/ttyUSB0
};

// The links of /dev/serial/by-id; none where the folder does not exist.
QList<StableLink> stableLinksOfThisComputer();
// `entries` with each device named by the first stable link that points at it, if any.
QList<SerialPortEntry> underStableNames(QList<SerialPortEntry> entries,
                                        const QList<StableLink> &links);
// Whether two names stand for the same device, also when one is a link to the other.
bool isSameDevice(const QString &one, const QString &other);

// The serial ports this computer has, put in words that help an operator find the
// device of their adapter. Built from plain values, so it can be shown any list.
class SerialPortList
{
public:
    explicit SerialPortList(QList<SerialPortEntry> entries = {});
    static SerialPortList ofThisComputer();

    const QList<SerialPortEntry> &entries() const { return m_entries; }

    // What stands behind `device` ("FT232R USB UART, FTDI"), following links such as
    // /dev/serial/by-id/...; empty when the system says nothing about it.
    QString whatIsBehind(const QString &device) const;
    // Every port with what is known of it, or that none was found, and how to put a
    // device on the radio "Com <port>".
    QString report(int port) const;

private:
    // A port as this system's operators know it.
    static SerialPortEntry entryOf(const QSerialPortInfo &info);
    // How to name an adapter so the name outlives plugging it in again; empty where the
    // system keeps an adapter's name itself.
    static QString lastingNameHint();

    QList<SerialPortEntry> m_entries;
};
