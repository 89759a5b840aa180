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

SerialPortList::SerialPortList(QList<SerialPortEntry> entries) : m_entries(std::move(entries)) {}

SerialPortList SerialPortList::ofThisComputer()
{
    QList<SerialPortEntry> entries;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        entries.append(entryOf(info));
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
    const QString hint = lastingNameHint();
    if (!hint.isEmpty())
        lines << hint;
    return lines.join(QLatin1Char('\n'));
}
