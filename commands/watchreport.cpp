#include "commands/watchreport.h"

#include "bus/frames.h"
#include "commands/busscan.h"
#include "terminal/jsontext.h"

#include <QCoreApplication>
#include <QStringList>

namespace {

struct Words
{
    Q_DECLARE_TR_FUNCTIONS(WatchReport)
};

// The times are measured to 0.1 ms; more digits would only be noise.
QString ms(double value)
{
    return QString::number(value, 'f', 1);
}

const char *eventName(BusWatch::Change change)
{
    switch (change) {
    case BusWatch::Change::Online:
        return "online";
    case BusWatch::Change::Gone:
        return "gone";
    case BusWatch::Change::Back:
        break;
    }
    return "back";
}

} // namespace

QString watchreport::changeLine(const QDateTime &at, int address, BusWatch::Change change)
{
    return at.toString(QStringLiteral("HH:mm:ss.zzz ")) + BusScan::listEntry(address) +
           QLatin1Char(' ') + Words::tr(eventName(change));
}

QString watchreport::changeJson(const QDateTime &at, int address, BusWatch::Change change)
{
    return QStringLiteral(R"({"event": "%1", "time": "%2", "address": %3})")
        .arg(QLatin1String(eventName(change)),
             at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")))
        .arg(address);
}

QString watchreport::summaryText(const BusWatch &watch)
{
    QStringList lines{Words::tr("After %1 passes:").arg(watch.passes())};
    int silent = 0;
    for (std::size_t i = 0; i < watch.addresses().size(); ++i) {
        const WatchedAddress &a = watch.addresses()[i];
        if (a.answers == 0) {
            ++silent;
            continue;
        }
        lines << Words::tr("%1: %2 polls, %3 answers, %4 misses, longest run of misses %5, "
                           "first byte min %6, median %7, max %8 ms")
                     .arg(BusScan::listEntry(watch.firstAddress() + static_cast<int>(i)))
                     .arg(a.polls)
                     .arg(a.answers)
                     .arg(a.misses())
                     .arg(a.longestMissRun)
                     .arg(ms(a.firstBytes.minMs()), ms(a.firstBytes.medianMs()),
                          ms(a.firstBytes.maxMs()));
    }
    if (silent == static_cast<int>(watch.addresses().size()))
        lines << Words::tr("No reader answered");
    else if (silent > 0)
        lines << Words::tr("No answer from the other %1 addresses").arg(silent);
    return lines.join(QLatin1Char('\n'));
}

QString watchreport::summaryJson(const BusWatch &watch, const QString &head,
                                 const std::optional<std::pair<int, QString>> &stoppedAt)
{
    QStringList tally;
    for (std::size_t i = 0; i < watch.addresses().size(); ++i) {
        const WatchedAddress &a = watch.addresses()[i];
        if (a.answers == 0)
            continue;
        tally << QStringLiteral(R"({"address": %1, "polls": %2, "answers": %3, "misses": %4, )"
                                R"("longest_miss_run": %5, "first_byte_ms": )"
                                R"({"min": %6, "median": %7, "max": %8}})")
                     .arg(watch.firstAddress() + static_cast<int>(i))
                     .arg(a.polls)
                     .arg(a.answers)
                     .arg(a.misses())
                     .arg(a.longestMissRun)
                     .arg(ms(a.firstBytes.minMs()), ms(a.firstBytes.medianMs()),
                          ms(a.firstBytes.maxMs()));
    }
    return QStringLiteral(R"({"event": "summary", %1, "passes": %2, "tally": [%3], %4})")
        .arg(head)
        .arg(watch.passes())
        .arg(tally.join(QStringLiteral(", ")), completionJson(stoppedAt));
}

QString watchreport::progressText(const BusWatch &watch, int pass, int address)
{
    // Kept to one line of a terminal, or rewriting it in place would fail.
    constexpr int Listed = 8;
    const QList<int> addresses = watch.online();
    QStringList online;
    for (int a : addresses.mid(0, Listed))
        online << frames::addressText(a);
    QString shown = online.isEmpty() ? Words::tr("none") : online.join(QStringLiteral(", "));
    if (addresses.size() > Listed)
        shown = Words::tr("%1 readers").arg(addresses.size());
    return Words::tr("Pass %1, %2; online: %3")
        .arg(pass)
        .arg(BusScan::progressText(address), shown);
}
