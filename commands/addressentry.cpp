#include "commands/addressentry.h"

#include "bus/frames.h"

AddressEntry AddressEntry::check(const QString &entry)
{
    if (entry.isEmpty())
        return {Verdict::Empty, 0};
    for (const QChar c : entry) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return {Verdict::Invalid, 0};
    }
    // Past the leading zeros, more than three digits is above 126 whatever they are.
    qsizetype firstNonZero = 0;
    while (firstNonZero < entry.size() && entry[firstNonZero] == QLatin1Char('0'))
        ++firstNonZero;
    const QStringView significant = QStringView(entry).mid(firstNonZero);
    if (significant.size() > 3)
        return {Verdict::Invalid, 0};
    const int value = significant.isEmpty() ? 0 : significant.toInt();
    if (value < 1 || value > frames::LastAddress)
        return {Verdict::Invalid, 0};
    return {Verdict::Valid, value};
}
