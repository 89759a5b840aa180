#pragma once

#include "bus/stopreason.h"
#include "terminal/scancomparison.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

class BusScan;

// Which line a scan or a watch polled, as its report names it.
struct ReportedLine
{
    int port = 1;
    QString device;
    int baud = 9600;
    int firstAddress = 0;
    int lastAddress = 0;
    int windowMs = 200;
};

// A scan or a watch that the line ended: where, why, and the status line's text.
struct ReportedStop
{
    int address = 0;
    QString reason;
    QString text;
    bool otherMaster = false; // the line itself is sound
};

// What one of the scan's polls left waiting when its window ended.
struct ScanReply
{
    int address = 0;
    qint64 firstByteNs = 0;
    qint64 bytes = 0;
    bool listed = false;
};

// The results of one scan at one speed.
struct ScanResults
{
    ReportedLine line;
    QList<int> readers;
    QList<ScanReply> replies;
    std::optional<ReportedStop> stop; // none: the scan went through every address
};

// How a report is written: lines for a person, or JSON for a program.
enum class ReportFormat { Text, Json };

// Follows a scan from its signals, keeps its results, and writes them: in text, a line
// for each reader the moment it is listed and the result line at the end; in JSON, one
// document at the end.
class ScanReport : public QObject
{
    Q_OBJECT
public:
    ScanReport(ReportedLine line, ReportFormat format, BusScan &scan, QObject *parent = nullptr);

    // Every text says the speed, for a scan that goes through several.
    void setSpeedSaid(bool said) { m_speedSaid = said; }

    const ScanResults &results() const { return m_results; }

    // The readers an earlier scan of the same addresses found: the closing text and the
    // document then say what changed since.
    void compareWith(const QList<int> &earlierReaders) { m_earlierReaders = earlierReaders; }
    // Nothing unless compared, and nothing for a scan the line ended: half a scan would
    // call every reader after its stop missing.
    std::optional<ScanComparison> comparison() const;

    // Why a command found the line down, in a few words: "adapter unplugged".
    static QString stopReasonText(const StopReason &why);
    // A scan or a watch stopped at `address`, worded as the status line would have it.
    static ReportedStop stopAt(int address, const StopReason &why);

    // What stands last on standard output: the document, or the result line (and what
    // changed, when compared) when the scan went through every address; nothing for a
    // text scan the line ended.
    QString closingText() const;
    QString json() const;

signals:
    // A line for standard output, the moment it is known.
    void written(const QString &line);
    // For a person watching; each one replaces the last.
    void progress(const QString &text);

private:
    QString withSpeed(const QString &text) const;

    ScanResults m_results;
    std::optional<QList<int>> m_earlierReaders;
    ReportFormat m_format;
    bool m_speedSaid = false;
};
