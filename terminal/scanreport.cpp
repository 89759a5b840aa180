#include "terminal/scanreport.h"

#include "bus/frames.h"
#include "commands/busscan.h"
#include "terminal/reportjson.h"

#include <utility>

ScanReport::ScanReport(ReportedLine line, ReportFormat format, BusScan &scan, QObject *parent)
    : QObject(parent), m_format(format)
{
    m_results.line = std::move(line);
    connect(&scan, &BusScan::replyReceived, this,
            [this](int address, qint64 firstByteNs, qint64 bytesWaiting) {
                m_results.replies.append({address, firstByteNs, bytesWaiting, false});
            });
    connect(&scan, &BusScan::addressChecked, this, [this](int address, bool listed) {
        // The reply of this very window, if it left anything.
        if (listed && !m_results.replies.isEmpty() &&
            m_results.replies.constLast().address == address)
            m_results.replies.last().listed = true;
    });
    connect(&scan, &BusScan::readerListed, this, [this](const QString &entry, int address) {
        m_results.readers.append(address);
        if (m_format == ReportFormat::Text)
            emit written(withSpeed(entry));
    });
    connect(&scan, &BusScan::statusChanged, this,
            [this](const QString &text) { emit progress(withSpeed(text)); });
    connect(&scan, &BusScan::stopped, this,
            [this](int address, const StopReason &why) { m_results.stop = stopAt(address, why); });
}

QString ScanReport::stopReasonText(const StopReason &why)
{
    if (why.isOtherMaster())
        return why.otherMasterText();
    switch (why.line.kind) {
    case PortProblem::Kind::None:
        return tr("the port is not open");
    case PortProblem::Kind::Unplugged:
        return tr("adapter unplugged");
    default: // the line failed while it opened
        return why.line.summary();
    }
}

ReportedStop ScanReport::stopAt(int address, const StopReason &why)
{
    const QString reason = stopReasonText(why);
    return {address, reason, tr("Scan stopped at %1: %2").arg(frames::addressText(address), reason),
            why.isOtherMaster()};
}

QString ScanReport::withSpeed(const QString &text) const
{
    // With one speed the lines read as they always have.
    return m_speedSaid ? text + tr(" at %1 baud").arg(m_results.line.baud) : text;
}

std::optional<ScanComparison> ScanReport::comparison() const
{
    if (!m_earlierReaders || m_results.stop)
        return std::nullopt;
    return ScanComparison::between(*m_earlierReaders, m_results.readers);
}

QString ScanReport::closingText() const
{
    if (m_format == ReportFormat::Json)
        return json();
    if (m_results.stop)
        return QString();
    const QString result =
        withSpeed(BusScan::resultText(static_cast<int>(m_results.readers.size())));
    const std::optional<ScanComparison> compared = comparison();
    return compared ? result + QLatin1Char('\n') + compared->text() : result;
}

QString ScanReport::json() const
{
    using reportjson::Json;
    Json document = Json::object();
    reportjson::addLine(document, m_results.line);
    document["readers"] = Json::array();
    for (int address : m_results.readers)
        document["readers"].push_back(address);
    reportjson::addEnding(document, m_results.stop);
    Json replies = Json::array();
    for (const ScanReply &reply : m_results.replies)
        replies.push_back(Json{
            {"address", reply.address},
            {"first_byte_ms", reportjson::tenths(static_cast<double>(reply.firstByteNs) / 1e6)},
            {"bytes", reply.bytes},
            {"listed", reply.listed}});
    document["replies"] = std::move(replies);
    if (const std::optional<ScanComparison> compared = comparison()) {
        Json changes = Json::object();
        changes["new"] = Json::array();
        for (const int address : compared->added)
            changes["new"].push_back(address);
        changes["missing"] = Json::array();
        for (const int address : compared->missing)
            changes["missing"].push_back(address);
        document["compared"] = std::move(changes);
    }
    return reportjson::dumped(document);
}
