#include "line/portproblem.h"

#include "line/rfc2217session.h"

#include <QStringList>

QString PortProblem::summary(const QString &shownDevice) const
{
    switch (kind) {
    case Kind::None:
        return QString();
    case Kind::DoesNotExist:
        return tr("%1 does not exist").arg(shownDevice);
    case Kind::InUse:
        return tr("%1 is in use by another program").arg(shownDevice);
    case Kind::NoPermission:
        return tr("no permission for %1").arg(shownDevice);
    case Kind::NotSerialDevice:
        return tr("%1 is not a serial device").arg(shownDevice);
    case Kind::NoHardware:
        return tr("no serial hardware behind %1").arg(shownDevice);
    case Kind::Unplugged:
        return tr("%1 was unplugged").arg(shownDevice);
    case Kind::NotListening:
        return tr("nobody is listening at %1").arg(shownDevice);
    case Kind::UnknownHost:
        return tr("unknown host in %1").arg(shownDevice);
    case Kind::NoAnswer:
        return tr("no answer from %1").arg(shownDevice);
    case Kind::SettingsRefused:
        return tr("%1 did not take the settings").arg(shownDevice);
    case Kind::ConnectionLost:
        return tr("connection to %1 lost").arg(shownDevice);
    case Kind::Stalled:
        return tr("connection to %1 lost: no answer for %2 s")
            .arg(shownDevice, QString::number(std::chrono::duration_cast<std::chrono::seconds>(
                                                  Rfc2217Session::StallBound)
                                                  .count()));
    case Kind::Other:
        break;
    }
    return tr("%1 cannot be opened").arg(shownDevice);
}

QString PortProblem::statusText(int port) const
{
    return tr("Com %1: %2").arg(port).arg(summary());
}

QString PortProblem::details() const
{
    if (!isProblem())
        return QString();
    QString first = summary();
    if (!first.startsWith(device)) // a path or a URL stays as it is
        first[0] = first[0].toUpper();
    QStringList lines{tr("%1.").arg(first)};
    if (!systemReason.isEmpty())
        lines << tr("Reason: %1").arg(systemReason);
    if (kind == Kind::NoPermission)
        lines << tr("Serial ports are open to members of the dialout group: run "
                    "sudo adduser \"$USER\" dialout, then log out and in again.");
    return lines.join(QLatin1Char('\n'));
}
