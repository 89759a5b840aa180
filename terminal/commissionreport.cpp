#include "terminal/commissionreport.h"

#include "bus/frames.h"
#include "terminal/reportjson.h"

#include <QDateTime>
#include <QStringList>

namespace {

const char *endingName(CommissionReport::Ending ending)
{
    switch (ending) {
    case CommissionReport::Ending::LastAddress:
        return "last_address";
    case CommissionReport::Ending::NoFreeAddress:
        return "no_free_address";
    case CommissionReport::Ending::Interrupted:
        return "interrupted";
    case CommissionReport::Ending::Stopped:
        break;
    }
    return "stopped";
}

} // namespace

CommissionReport::CommissionReport(ReportedLine line, ReportFormat format, const Commissioning &run,
                                   QObject *parent)
    : QObject(parent), m_run(run), m_line(std::move(line)), m_format(format)
{
    const QString zero = frames::addressText(frames::FirstAddress);
    connect(&run, &Commissioning::waiting, this, [this, zero] {
        tell("waiting", frames::FirstAddress,
             tr("Connect the next reader (waiting at %1)").arg(zero));
    });
    connect(&run, &Commissioning::found, this, [this] {
        tell("found", frames::FirstAddress, QString()); // the next line says it
    });
    connect(&run, &Commissioning::skippedTaken, this, [this](int address) {
        tell("skipped_taken", address,
             tr("%1 is taken: skipped").arg(frames::addressText(address)));
    });
    connect(&run, &Commissioning::severalReaders, this, [this](int address) {
        tell("two_readers", address,
             tr("two readers answer at %1: connect one at a time")
                 .arg(frames::addressText(address)));
    });
    connect(&run, &Commissioning::assigned, this, [this, zero](int address, int count) {
        tell("assigned", address,
             tr("%1 → %2: done (%3 so far)").arg(zero, frames::addressText(address)).arg(count),
             count);
    });
    connect(&run, &Commissioning::notTaken, this, [this, zero](int address) {
        tell("not_taken", address,
             tr("the reader at %1 did not take %2: check it")
                 .arg(zero, frames::addressText(address)));
    });
}

void CommissionReport::tell(const char *event, int address, const QString &text, int count)
{
    if (m_format == ReportFormat::Text) {
        if (!text.isEmpty())
            emit written(text);
        return;
    }
    using reportjson::Json;
    Json line{{"event", event},
              {"time", QDateTime::currentDateTime()
                           .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
                           .toStdString()},
              {"address", address}};
    if (count > 0)
        line["count"] = count;
    emit written(reportjson::dumped(line));
}

QString CommissionReport::closingText(Ending ending) const
{
    const QList<int> given = m_run.given();
    if (m_format == ReportFormat::Json) {
        using reportjson::Json;
        Json summary{{"event", "summary"}};
        reportjson::addLine(summary, m_line);
        Json addresses = Json::array();
        for (int address : given)
            addresses.push_back(address);
        summary["given"] = std::move(addresses);
        summary["ended"] = endingName(ending);
        reportjson::addEnding(summary, m_stop);
        return reportjson::dumped(summary);
    }
    if (given.isEmpty())
        return tr("No reader was given an address");
    QStringList addresses;
    for (int address : given)
        addresses << frames::addressText(address);
    const QString list = addresses.join(QStringLiteral(", "));
    if (given.size() == 1)
        return tr("1 reader given %1").arg(list);
    return tr("%1 readers given %2").arg(given.size()).arg(list);
}

QString CommissionReport::stopText(const StopReason &why)
{
    return tr("Commissioning stopped: %1").arg(ScanReport::stopReasonText(why));
}

QString CommissionReport::noFreeAddressText(int lastAddress)
{
    return tr("No free address left up to %1: the reader at %2 keeps its address")
        .arg(frames::addressText(lastAddress), frames::addressText(frames::FirstAddress));
}
