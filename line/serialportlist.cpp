#include "line/serialportlist.h"

#include "line/portmap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>

#include <utility>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SerialPortList", text);
}

#ifndef Q_OS_WIN
// Follows links such as /dev/serial/by-id/...; Windows' port names are no paths.
QString canonical(const QString &device)
{
    const QString resolved = QFileInfo(device).canonicalFilePath();
    return resolved.isEmpty() ? device : resolved;
}
#endif

} // namespace

QString SerialPortEntry::behind() const
{
    QStringList parts;
    for (const QString &part : {description, manufacturer})
        if (!part.trimmed().isEmpty())
            parts << part.trimmed();
    return parts.join(QLatin1String(", "));
}

QList<StableLink> stableLinksOfThisComputer()
{
    QList<StableLink> links;
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    const QFileInfoList found = byId.entryInfoList(QDir::AllEntries | QDir::System, QDir::Name);
    for (const QFileInfo &link : found) {
        if (link.isSymLink())
            links.append({link.absoluteFilePath(), link.symLinkTarget()});
    }
    return links;
}

QList<SerialPortEntry> underStableNames(QList<SerialPortEntry> entries,
                                        const QList<StableLink> &links)
{
    for (SerialPortEntry &entry : entries) {
        for (const StableLink &link : links) {
            if (link.target == entry.device) {
                entry.device = link.link;
                break;
            }
        }
    }
    return entries;
}

bool isSameDevice(const QString &one, const QString &other)
{
#ifdef Q_OS_WIN
    // COM3, com3 and \\.\COM3 are one port; Windows' names ignore case.
    return systemDeviceName(one).compare(systemDeviceName(other), Qt::CaseInsensitive) == 0;
#else
    return one == other || canonical(one) == canonical(other);
#endif
}

SerialPortList::SerialPortList(QList<SerialPortEntry> entries) : m_entries(std::move(entries)) {}

SerialPortList SerialPortList::ofThisComputer()
{
    QList<SerialPortEntry> entries;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
#ifdef Q_OS_WIN
        // Known as COM3, the name Windows shows, not as \\.\COM3, its system location;
        // "COM3 (USB Serial Port)". The manufacturer there is the one the driver's INF file
        // names ("Microsoft" for the class driver most adapters use, "(Standard port
        // types)" for a built-in port), not the adapter's maker, so it is left out.
        entries.append({info.portName(), info.description(), QString(), info.serialNumber()});
#else
        entries.append(
            {info.systemLocation(), info.description(), info.manufacturer(), info.serialNumber()});
#endif
    }
    return SerialPortList(entries);
}

QString SerialPortList::whatIsBehind(const QString &device) const
{
    for (const SerialPortEntry &entry : m_entries) {
        if (isSameDevice(entry.device, device))
            return entry.behind();
    }
    return QString();
}

QString SerialPortList::report(int port) const
{
    QStringList lines;
    QString example;
    if (m_entries.isEmpty()) {
        lines << tr("No serial ports were found on this computer. Plug in the adapter, "
                    "then choose the port again.");
        example = PortMap::exampleAdapter();
    } else {
        lines << tr("Serial ports on this computer:");
        for (const SerialPortEntry &entry : m_entries) {
            QString line = entry.device;
            const QString what = entry.behind();
            if (!what.isEmpty())
                line += QLatin1String(": ") + what;
            if (!entry.serialNumber.trimmed().isEmpty())
                line += tr(", serial number %1").arg(entry.serialNumber.trimmed());
            lines << line;
        }
        // An adapter the system can name makes the best example.
        example = m_entries.constFirst().device;
        for (const SerialPortEntry &entry : m_entries) {
            if (!entry.behind().isEmpty()) {
                example = entry.device;
                break;
            }
        }
    }
    lines << QString();
    lines << tr("To put a device on Com %1, start rollcall with --com %1=%2, or set "
                "ROLLCALL_COM%1=%2.")
                 .arg(port)
                 .arg(example);
    // Windows keeps an adapter's COM number itself; it has no such paths.
#ifndef Q_OS_WIN
    lines << tr("A /dev/serial/by-id/ path stays the same when the adapter is plugged in "
                "again.");
#endif
    return lines.join(QLatin1Char('\n'));
}
