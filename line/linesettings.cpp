#include "line/linesettings.h"

#include <QStringList>

#include <algorithm>

LineSettings LineSettings::at(qint32 baud)
{
    LineSettings settings;
    settings.baud = baud;
    return settings;
}

std::optional<LineSettings> LineSettings::parse(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    LineSettings s;
    bool ok = false;
    s.baud = parts[0].toInt(&ok);
    if (!ok || s.baud <= 0)
        return std::nullopt;
    const QString parity = parts[1].toUpper();
    if (parity != QLatin1String("N") && parity != QLatin1String("E") &&
        parity != QLatin1String("O"))
        return std::nullopt;
    s.parity = parity.at(0).toLatin1();
    s.dataBits = parts[2].toInt(&ok);
    if (!ok || s.dataBits < 5 || s.dataBits > 8)
        return std::nullopt;
    s.stopBits = parts[3].toInt(&ok);
    if (!ok || (s.stopBits != 1 && s.stopBits != 2) || parts[3].size() != 1)
        return std::nullopt;
    return s;
}

QString LineSettings::text() const
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(QString::number(baud), QString(QLatin1Char(parity)), QString::number(dataBits),
             QString::number(stopBits));
}

QString LineSettings::framingText() const
{
    const char *parityName = "none";
    if (parity == 'E')
        parityName = "even";
    else if (parity == 'O')
        parityName = "odd";
    return QStringLiteral("%1 data bits, parity %2, %3 stop bit%4")
        .arg(QString::number(dataBits), QLatin1String(parityName), QString::number(stopBits),
             QLatin1String(stopBits == 1 ? "" : "s"));
}

std::chrono::microseconds LineSettings::timeOnTheWire(qint64 bytes) const
{
    const qint64 bitsEach = 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
    const qint64 speed = std::max<qint64>(baud, 1);
    // Rounded up: the time is waited for, never cut short.
    return std::chrono::microseconds((bytes * bitsEach * 1'000'000 + speed - 1) / speed);
}
