#pragma once

#include <QList>
#include <QString>

// One serial port as the system describes it.
struct SerialPortEntry
{
    QString device; // where it is opened, e.g. /dev/ttyUSB0
    QString description;
    QString manufacturer;
    QString serialNumber;
};

// The serial ports this computer has, put in words that help an operator find the
// device of their adapter. Built from plain values, so it can be shown any list.
class SerialPortList
{
public:
    explicit SerialPortList(QList<SerialPortEntry> entries = {});
    static SerialPortList ofThisComputer();

    // What stands behind `device` ("FT232R USB UART, FTDI"), following links such as
    // /dev/serial/by-id/...; empty when the system says nothing about it.
    QString whatIsBehind(const QString &device) const;
    // Every port with what is known of it, or that none was found, and how to put a
    // device on the radio "Com <port>".
    QString report(int port) const;

private:
    QList<SerialPortEntry> m_entries;
};
