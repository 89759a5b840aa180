#include "terminal/scancomparison.h"

#include "bus/frames.h"
#include "terminal/reportjson.h"

#include <QFile>
#include <QStringList>

#include <algorithm>

namespace {

using reportjson::Json;

// A whole number from `low` to `high`, as the scan writes addresses and speeds.
std::optional<int> wholeNumber(const Json &value, int low, int high)
{
    if (!value.is_number_unsigned())
        return std::nullopt;
    const auto number = value.get<std::uint64_t>();
    if (number < static_cast<std::uint64_t>(low) || number > static_cast<std::uint64_t>(high))
        return std::nullopt;
    return static_cast<int>(number);
}

QString notAScansKey(const char *key)
{
    return EarlierScan::tr("not the document of \"rollcall scan --json\": \"%1\" is missing or "
                           "not as the scan writes it")
        .arg(QLatin1String(key));
}

QString addressesText(const QList<int> &addresses)
{
    QStringList texts;
    for (const int address : addresses)
        texts << frames::addressText(address);
    return texts.join(QStringLiteral(", "));
}

} // namespace

std::optional<EarlierScan> EarlierScan::fromJson(const QByteArray &document, QString *problem)
{
    const Json object = Json::parse(document.cbegin(), document.cend(), nullptr, false);
    if (object.is_discarded()) {
        // `scan --baud 9600,19200 --json` writes one document per speed, one per line.
        const QByteArray trimmed = document.trimmed();
        const QByteArray firstLine = trimmed.left(trimmed.indexOf('\n'));
        *problem = Json::parse(firstLine.cbegin(), firstLine.cend(), nullptr, false).is_object()
                       ? tr("it holds more than one document, a scan at several speeds; compare "
                            "with a scan at one speed")
                       : tr("not JSON; give it the file an earlier \"rollcall scan --json\" wrote");
        return std::nullopt;
    }
    if (!object.is_object()) {
        *problem = tr("not the document of \"rollcall scan --json\"");
        return std::nullopt;
    }
    EarlierScan earlier;
    const std::optional<int> baud = wholeNumber(object.value("baud", Json()), 1, 1'000'000);
    if (!baud) {
        *problem = notAScansKey("baud");
        return std::nullopt;
    }
    earlier.baud = *baud;
    const Json addresses = object.value("addresses", Json());
    const std::optional<int> first =
        addresses.is_array() && addresses.size() == 2
            ? wholeNumber(addresses[0], frames::FirstAddress, frames::LastAddress)
            : std::nullopt;
    const std::optional<int> last =
        first ? wholeNumber(addresses[1], *first, frames::LastAddress) : std::nullopt;
    if (!last) {
        *problem = notAScansKey("addresses");
        return std::nullopt;
    }
    earlier.firstAddress = *first;
    earlier.lastAddress = *last;
    const Json readers = object.value("readers", Json());
    if (!readers.is_array()) {
        *problem = notAScansKey("readers");
        return std::nullopt;
    }
    for (const Json &reader : readers) {
        const std::optional<int> address = wholeNumber(reader, *first, *last);
        if (!address || earlier.readers.contains(*address)) {
            *problem = notAScansKey("readers");
            return std::nullopt;
        }
        earlier.readers << *address;
    }
    const Json complete = object.value("complete", Json());
    if (!complete.is_boolean()) {
        *problem = notAScansKey("complete");
        return std::nullopt;
    }
    if (!complete.get<bool>()) {
        *problem = tr("that scan did not go through every address (\"complete\": false); "
                      "compare with one that did");
        return std::nullopt;
    }
    return earlier;
}

std::optional<EarlierScan> EarlierScan::read(const QString &path, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = tr("cannot read it: %1").arg(file.errorString());
        return std::nullopt;
    }
    // One byte more than allowed tells a file that is too large, whatever kind of file
    // it is: a device or a pipe has no size to ask for.
    const QByteArray document = file.read(MaxBytes + 1);
    if (document.size() > MaxBytes) {
        *problem = tr("larger than %1 MB; a scan's document is a few kB").arg(MaxBytes >> 20);
        return std::nullopt;
    }
    if (file.error() != QFileDevice::NoError) {
        *problem = tr("cannot read it: %1").arg(file.errorString());
        return std::nullopt;
    }
    return fromJson(document, problem);
}

QString EarlierScan::unlike(int first, int last, int scanBaud) const
{
    if (first != firstAddress || last != lastAddress)
        return tr("that scan polled %1-%2, this one polls %3-%4; use --addresses %1-%2")
            .arg(firstAddress)
            .arg(lastAddress)
            .arg(first)
            .arg(last);
    if (scanBaud != baud)
        return tr("that scan was at %1 baud, this one is at %2; use --baud %1")
            .arg(baud)
            .arg(scanBaud);
    return QString();
}

ScanComparison ScanComparison::between(const QList<int> &earlier, const QList<int> &now)
{
    ScanComparison comparison;
    for (const int address : now)
        if (!earlier.contains(address))
            comparison.added << address;
    for (const int address : earlier)
        if (!now.contains(address))
            comparison.missing << address;
    std::sort(comparison.added.begin(), comparison.added.end());
    std::sort(comparison.missing.begin(), comparison.missing.end());
    return comparison;
}

QString ScanComparison::text() const
{
    QStringList lines;
    if (!added.isEmpty())
        lines << tr("New since then: %1").arg(addressesText(added));
    if (!missing.isEmpty())
        lines << tr("Missing since then: %1").arg(addressesText(missing));
    if (lines.isEmpty())
        lines << tr("Nothing changed since then");
    return lines.join(QLatin1Char('\n'));
}
