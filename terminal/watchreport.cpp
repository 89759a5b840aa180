#include "terminal/watchreport.h"

#include "bus/frames.h"
#include "commands/busscan.h"
#include "terminal/reportjson.h"

#include <QStringList>

#include <utility>

namespace {

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

WatchReport::WatchReport(ReportedLine line, ReportFormat format, const BusWatch &watch,
                         QObject *parent)
    : QObject(parent), m_watch(watch), m_line(std::move(line)), m_format(format)
{
    connect(&watch, &BusWatch::changed, this, [this](int address, BusWatch::Change change) {
        const WatchEvent event{QDateTime::currentDateTime(), address, change};
        emit written(m_format == ReportFormat::Json ? eventJson(event) : eventText(event));
    });
    connect(&watch, &BusWatch::polling, this,
            [this](int pass, int address) { emit progress(progressText(pass, address)); });
    connect(&watch, &BusWatch::stopped, this, [this](int address, const StopReason &why) {
        m_stop = ScanReport::stopAt(address, why);
    });
}

WatchResults WatchReport::results() const
{
    WatchResults results;
    results.line = m_line;
    results.passes = m_watch.passes();
    results.addressesWatched = static_cast<int>(m_watch.addresses().size());
    results.stop = m_stop;
    for (std::size_t i = 0; i < m_watch.addresses().size(); ++i) {
        const WatchedAddress &a = m_watch.addresses()[i];
        if (a.answers == 0)
            continue;
        results.tally.append({m_watch.firstAddress() + static_cast<int>(i), a.polls, a.answers,
                              a.misses(), a.longestMissRun, a.firstBytes.minMs(),
                              a.firstBytes.medianMs(), a.firstBytes.maxMs()});
    }
    return results;
}

QString WatchReport::eventText(const WatchEvent &event)
{
    return event.at.toString(QStringLiteral("HH:mm:ss.zzz ")) + BusScan::listEntry(event.address) +
           QLatin1Char(' ') + tr(eventName(event.change));
}

QString WatchReport::eventJson(const WatchEvent &event)
{
    using reportjson::Json;
    return reportjson::dumped(
        Json{{"event", eventName(event.change)},
             {"time", event.at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toStdString()},
             {"address", event.address}});
}

QString WatchReport::closingText() const
{
    return m_format == ReportFormat::Json ? summaryJson() : summaryText();
}

QString WatchReport::summaryText() const
{
    const WatchResults r = results();
    QStringList lines{tr("After %1 passes:").arg(r.passes)};
    for (const AddressTally &t : r.tally)
        lines << tr("%1: %2 polls, %3 answers, %4 misses, longest run of misses %5, "
                    "first byte min %6, median %7, max %8 ms")
                     .arg(BusScan::listEntry(t.address), QString::number(t.polls),
                          QString::number(t.answers), QString::number(t.misses),
                          QString::number(t.longestMissRun), ms(t.firstByteMinMs),
                          ms(t.firstByteMedianMs), ms(t.firstByteMaxMs));
    const auto silent = r.addressesWatched - static_cast<int>(r.tally.size());
    if (r.tally.isEmpty())
        lines << tr("No reader answered");
    else if (silent > 0)
        lines << tr("No answer from the other %1 addresses").arg(silent);
    return lines.join(QLatin1Char('\n'));
}

QString WatchReport::summaryJson() const
{
    using reportjson::Json;
    using reportjson::tenths;
    const WatchResults r = results();
    Json summary{{"event", "summary"}};
    reportjson::addLine(summary, r.line);
    summary["window_ms"] = r.line.windowMs;
    summary["passes"] = r.passes;
    Json tally = Json::array();
    for (const AddressTally &t : r.tally)
        tally.push_back(Json{{"address", t.address},
                             {"polls", t.polls},
                             {"answers", t.answers},
                             {"misses", t.misses},
                             {"longest_miss_run", t.longestMissRun},
                             {"first_byte_ms", Json{{"min", tenths(t.firstByteMinMs)},
                                                    {"median", tenths(t.firstByteMedianMs)},
                                                    {"max", tenths(t.firstByteMaxMs)}}}});
    summary["tally"] = std::move(tally);
    reportjson::addEnding(summary, r.stop);
    return reportjson::dumped(summary);
}

QString WatchReport::progressText(int pass, int address) const
{
    // Kept to one line of a terminal, or rewriting it in place would fail.
    constexpr int Listed = 8;
    const QList<int> addresses = m_watch.online();
    QStringList online;
    for (int a : addresses.mid(0, Listed))
        online << frames::addressText(a);
    QString shown = online.isEmpty() ? tr("none") : online.join(QStringLiteral(", "));
    if (addresses.size() > Listed)
        shown = tr("%1 readers").arg(addresses.size());
    return tr("Pass %1, %2; online: %3")
        .arg(QString::number(pass), BusScan::progressText(address), shown);
}
