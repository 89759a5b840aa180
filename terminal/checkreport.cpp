#include "terminal/checkreport.h"

#include "bus/frames.h"
#include "line/linetrace.h"
#include "terminal/reportjson.h"
#include "terminal/scanreport.h"

#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

using Status = CheckRow::Status;
using Echo = LineFindings::Echo;
using Alone = LineFindings::Stranger::Alone;

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(linetrace::hex(bytes));
}

double milliseconds(qint64 ns)
{
    return reportjson::tenths(static_cast<double>(ns) / 1e6);
}

QString msText(qint64 ns)
{
    return QString::number(milliseconds(ns), 'f', 1);
}

QString addressList(const QList<LineFindings::Reader> &readers)
{
    QStringList addresses;
    for (const LineFindings::Reader &reader : readers)
        addresses << frames::addressText(reader.address);
    return addresses.join(QStringLiteral(", "));
}

// A speed's check that ended early, in a few words.
QString stopText(const StopReason &why)
{
    return why.isOtherMaster() ? CheckReport::tr("another master talks")
                               : ScanReport::stopReasonText(why);
}

const char *statusKey(Status status)
{
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::Note:
        return "note";
    case Status::Problem:
        return "problem";
    case Status::NotChecked:
        break;
    }
    return "not_checked";
}

const char *echoKey(Echo echo)
{
    switch (echo) {
    case Echo::None:
        return "none";
    case Echo::SetAside:
        return "set_aside";
    case Echo::Changed:
        return "changed";
    case Echo::Unknown:
        break;
    }
    return "unknown";
}

const char *aloneKey(Alone alone)
{
    switch (alone) {
    case Alone::Again:
        return "again";
    case Alone::NotAgain:
        return "not_again";
    case Alone::NotPolled:
        break;
    }
    return "not_polled";
}

struct EchoTimes
{
    qint64 minNs;
    qint64 medianNs;
    qint64 maxNs;
};

// Not empty.
EchoTimes echoTimes(QList<qint64> ns)
{
    std::sort(ns.begin(), ns.end());
    return {ns.constFirst(), ns.at(ns.size() / 2), ns.constLast()};
}

// The evidence of a row, with what could not be looked at after it.
QString joined(const QString &found, const QString &notChecked)
{
    if (notChecked.isEmpty())
        return found;
    return found.isEmpty() ? notChecked : found + QStringLiteral("; ") + notChecked;
}

} // namespace

CheckReport::CheckReport(int port, QString device) : m_port(port), m_device(std::move(device)) {}

void CheckReport::add(int baud, const LineFindings &findings)
{
    m_speeds.append({baud, findings});
}

bool CheckReport::anyComplete() const
{
    return std::any_of(m_speeds.cbegin(), m_speeds.cend(),
                       [](const Speed &speed) { return !speed.findings.stop; });
}

QString CheckReport::notChecked(bool exceptOtherMaster) const
{
    QStringList bauds;
    QStringList reasons; // one for each baud
    for (const Speed &speed : m_speeds) {
        const std::optional<StopReason> &stop = speed.findings.stop;
        if (!stop || (exceptOtherMaster && stop->isOtherMaster()))
            continue;
        bauds << QString::number(speed.baud);
        reasons << stopText(*stop);
    }
    if (bauds.isEmpty())
        return {};
    if (reasons.count(reasons.constFirst()) == reasons.size())
        return tr("not checked at %1 baud: %2").arg(bauds.join(tr(" and ")), reasons.constFirst());
    QStringList each;
    for (qsizetype i = 0; i < bauds.size(); ++i)
        each << tr("at %1 baud: %2").arg(bauds[i], reasons[i]);
    return tr("not checked %1").arg(each.join(QStringLiteral("; ")));
}

CheckRow CheckReport::lineRow() const
{
    QStringList seen;
    for (const Speed &speed : m_speeds) {
        if (speed.findings.stop && speed.findings.stop->isOtherMaster())
            seen << tr("%1 at %2 baud")
                        .arg(hexText(speed.findings.stop->otherMaster))
                        .arg(speed.baud);
    }
    if (!seen.isEmpty())
        return {tr("line"), Status::Problem,
                tr("another master talks (seen: %1): stop the controller or disconnect it, then "
                   "check again")
                    .arg(seen.join(QStringLiteral(", ")))};
    return {tr("line"), Status::Ok,
            joined(tr("quiet: nothing heard but rollcall's own polls and the readers' replies"),
                   notChecked(true))};
}

CheckRow CheckReport::echoRow() const
{
    const auto any = [this](Echo echo) {
        return std::find_if(m_speeds.cbegin(), m_speeds.cend(),
                            [echo](const Speed &s) { return s.findings.echo == echo; });
    };
    if (const auto changed = any(Echo::Changed); changed != m_speeds.cend()) {
        const LineFindings &found = changed->findings;
        return {tr("echo"), Status::Problem,
                tr("rollcall's own bytes came back changed in %1 windows at %2 baud, the first "
                   "at %3: %4; another device drives the line while rollcall sends, or the "
                   "adapter garbles what it hears")
                    .arg(found.echoesChanged)
                    .arg(changed->baud)
                    .arg(frames::addressText(found.firstEchoChangedAt),
                         hexText(found.firstEchoChanged))};
    }
    if (any(Echo::SetAside) != m_speeds.cend())
        return {tr("echo"), Status::Note,
                tr("the adapter echoes what it sends; rollcall sets the echo aside, so it is no "
                   "fault")};
    if (any(Echo::None) != m_speeds.cend())
        return {tr("echo"), Status::Ok, tr("the adapter does not echo")};
    return {tr("echo"), Status::NotChecked, notChecked()};
}

CheckRow CheckReport::speedRow() const
{
    if (!anyComplete())
        return {tr("speed"), Status::NotChecked, notChecked()};
    QStringList found;
    QStringList none;
    for (const Speed &speed : m_speeds) {
        if (speed.findings.stop)
            continue;
        if (speed.findings.readers.isEmpty())
            none << QString::number(speed.baud);
        else
            found << tr("%1 baud: %2").arg(speed.baud).arg(addressList(speed.findings.readers));
    }
    if (found.size() > 1)
        return {tr("speed"), Status::Problem,
                joined(tr("readers answer at both speeds, %1; a master at one speed cannot see "
                          "the others: set every reader to one speed")
                           .arg(found.join(QStringLiteral("; "))),
                       notChecked())};
    if (found.isEmpty())
        return {tr("speed"), Status::Problem,
                joined(tr("no reader answers at %1 baud: check the wiring, the readers' power "
                          "and the adapter")
                           .arg(none.join(tr(" or "))),
                       notChecked())};
    QString evidence = tr("readers answer at %1").arg(found.constFirst());
    if (!none.isEmpty())
        evidence += tr("; none at %1 baud").arg(none.join(tr(" or ")));
    return {tr("speed"), Status::Ok, joined(evidence, notChecked())};
}

CheckRow CheckReport::repliesRow() const
{
    if (!anyComplete())
        return {tr("replies"), Status::NotChecked, notChecked()};
    QStringList named;
    int notPolled = 0;
    for (const Speed &speed : m_speeds) {
        if (speed.findings.stop)
            continue;
        for (const LineFindings::Stranger &stranger : speed.findings.strangers) {
            const QString where =
                tr("%1 at %2 baud").arg(frames::addressText(stranger.address)).arg(speed.baud);
            if (stranger.alone == Alone::Again)
                named << tr("%1 answered %2, again when polled alone")
                             .arg(where, hexText(stranger.firstBytes));
            else if (stranger.alone == Alone::NotAgain)
                named << tr("%1 held %2 in its window, nothing when polled alone")
                             .arg(where, hexText(stranger.firstBytes));
            else
                ++notPolled;
        }
    }
    if (notPolled > 0)
        named << tr("%1 more windows with such bytes, not polled alone").arg(notPolled);
    if (named.isEmpty())
        return {tr("replies"), Status::Ok,
                joined(tr("nothing but readers' replies"), notChecked())};
    return {tr("replies"), Status::Problem,
            joined(tr("bytes that no reader sends: %1; two readers on one address, a reader "
                      "that garbles its reply, or noise")
                       .arg(named.join(QStringLiteral("; "))),
                   notChecked())};
}

CheckRow CheckReport::replyTimeRow() const
{
    struct Timed
    {
        int baud;
        LineFindings::Reader reader;
    };
    QList<Timed> timed;
    for (const Speed &speed : m_speeds) {
        for (const LineFindings::Reader &reader : speed.findings.readers) {
            if (reader.firstByteNs >= 0)
                timed.append({speed.baud, reader});
        }
    }
    if (timed.isEmpty())
        return {tr("reply time"), Status::NotChecked,
                anyComplete() ? joined(tr("no reader answered"), notChecked()) : notChecked()};
    const auto quicker = [](const Timed &a, const Timed &b) {
        return a.reader.firstByteNs < b.reader.firstByteNs;
    };
    const auto said = [](const Timed &t) {
        QString text = tr("Address %1 at %2 baud, first byte %3 ms")
                           .arg(frames::addressText(t.reader.address))
                           .arg(t.baud)
                           .arg(msText(t.reader.firstByteNs));
        if (t.reader.late)
            text += tr(", after the check's %1 ms window")
                        .arg(static_cast<int>(LineCheck::ScanWindow.count()));
        return text;
    };
    const Timed &fastest = *std::min_element(timed.cbegin(), timed.cend(), quicker);
    const Timed &slowest = *std::max_element(timed.cbegin(), timed.cend(), quicker);
    const QString evidence = timed.size() == 1
                                 ? said(fastest)
                                 : tr("fastest %1; slowest %2").arg(said(fastest), said(slowest));
    return {tr("reply time"), Status::Ok, joined(evidence, notChecked())};
}

CheckRow CheckReport::adapterDelayRow() const
{
    QList<qint64> echoNs;
    bool noEcho = false;
    for (const Speed &speed : m_speeds) {
        echoNs += speed.findings.echoNs;
        noEcho = noEcho || speed.findings.echo == Echo::None;
    }
    if (!echoNs.isEmpty()) {
        const EchoTimes times = echoTimes(echoNs);
        return {tr("adapter delay"), Status::Ok,
                tr("the echo's first byte came %1 ms after the poll at the quickest, %2 ms at "
                   "the median of %3 polls")
                    .arg(msText(times.minNs), msText(times.medianNs))
                    .arg(echoNs.size())};
    }
    if (noEcho)
        return {tr("adapter delay"), Status::NotChecked,
                tr("not shown: the adapter does not echo")};
    const bool anyWindow = std::any_of(m_speeds.cbegin(), m_speeds.cend(),
                                       [](const Speed &s) { return s.findings.windows > 0; });
    return {tr("adapter delay"), Status::NotChecked,
            anyWindow ? tr("not shown: no echo was set aside") : notChecked()};
}

QList<CheckRow> CheckReport::rows() const
{
    return {lineRow(), echoRow(), speedRow(), repliesRow(), replyTimeRow(), adapterDelayRow()};
}

bool CheckReport::hasProblem() const
{
    const QList<CheckRow> all = rows();
    return std::any_of(all.cbegin(), all.cend(),
                       [](const CheckRow &row) { return row.status == Status::Problem; });
}

QString CheckReport::text() const
{
    QStringList lines;
    QStringList problems;
    for (const CheckRow &row : rows()) {
        QString mark;
        switch (row.status) {
        case Status::Ok:
            mark = tr("ok");
            break;
        case Status::Note:
            mark = tr("note");
            break;
        case Status::Problem:
            mark = tr("PROBLEM");
            problems << row.name;
            break;
        case Status::NotChecked:
            mark = QStringLiteral("-");
            break;
        }
        lines << row.name.leftJustified(14) + mark.leftJustified(9) + row.evidence;
    }
    const bool lineFailed = std::any_of(m_speeds.cbegin(), m_speeds.cend(), [](const Speed &s) {
        return s.findings.stop && !s.findings.stop->isOtherMaster();
    });
    if (!problems.isEmpty())
        lines << tr("This line has a problem: %1").arg(problems.join(QStringLiteral(", ")));
    else if (lineFailed)
        lines << tr("Nothing wrong so far, but the check did not finish");
    else
        lines << tr("Nothing is wrong with this line");
    return lines.join(QLatin1Char('\n'));
}

QString CheckReport::json() const
{
    using reportjson::Json;
    Json document = Json::object();
    document["port"] = m_port;
    document["device"] = m_device.toStdString();
    document["window_ms"] = LineCheck::ScanWindow.count();
    const QList<CheckRow> all = rows();
    Json problems = Json::array();
    Json rows = Json::array();
    for (const CheckRow &row : all) {
        if (row.status == Status::Problem)
            problems.push_back(row.name.toStdString());
        rows.push_back(Json{{"row", row.name.toStdString()},
                            {"status", statusKey(row.status)},
                            {"evidence", row.evidence.toStdString()}});
    }
    document["ok"] = problems.empty();
    document["problems"] = std::move(problems);
    document["rows"] = std::move(rows);
    Json speeds = Json::array();
    for (const Speed &speed : m_speeds) {
        const LineFindings &found = speed.findings;
        Json entry = Json::object();
        entry["baud"] = speed.baud;
        entry["complete"] = !found.stop;
        if (found.stop && found.stoppedAt >= 0) // not when the port did not open
            entry["stopped_at"] = found.stoppedAt;
        if (found.stop)
            entry["reason"] = ScanReport::stopReasonText(*found.stop).toStdString();
        if (found.stop && found.stop->isOtherMaster())
            entry["other_master"] = linetrace::hex(found.stop->otherMaster).toStdString();
        entry["echo"] = echoKey(found.echo);
        entry["echo_ms"] = nullptr;
        if (!found.echoNs.isEmpty()) {
            const EchoTimes times = echoTimes(found.echoNs);
            entry["echo_ms"] = Json{{"min", milliseconds(times.minNs)},
                                    {"median", milliseconds(times.medianNs)},
                                    {"max", milliseconds(times.maxNs)}};
        }
        Json readers = Json::array();
        for (const LineFindings::Reader &reader : found.readers)
            readers.push_back(Json{{"address", reader.address},
                                   {"first_byte_ms", milliseconds(reader.firstByteNs)},
                                   {"late", reader.late}});
        entry["readers"] = std::move(readers);
        Json strangers = Json::array();
        for (const LineFindings::Stranger &stranger : found.strangers)
            strangers.push_back(Json{{"address", stranger.address},
                                     {"bytes", linetrace::hex(stranger.firstBytes).toStdString()},
                                     {"alone", aloneKey(stranger.alone)}});
        entry["not_a_reader"] = std::move(strangers);
        speeds.push_back(std::move(entry));
    }
    document["speeds"] = std::move(speeds);
    return reportjson::dumped(document);
}
