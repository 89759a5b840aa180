#pragma once

#include "commands/buswatch.h"
#include "terminal/scanreport.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// A reader that appeared, went or came back, and when.
struct WatchEvent
{
    QDateTime at;
    int address = 0;
    BusWatch::Change change = BusWatch::Change::Online;
};

// What a watch learned about one address that answered at least once.
struct AddressTally
{
    int address = 0;
    int polls = 0;
    int answers = 0;
    int misses = 0;
    int longestMissRun = 0;
    double firstByteMinMs = 0;
    double firstByteMedianMs = 0;
    double firstByteMaxMs = 0;
};

// The results of a watch so far.
struct WatchResults
{
    ReportedLine line;
    int passes = 0; // completed ones
    int addressesWatched = 0;
    QList<AddressTally> tally;
    std::optional<ReportedStop> stop; // none: stopped by a signal, or still running
};

// Follows a watch from its signals and writes what "rollcall watch" prints: a line the
// moment a reader appears, goes or comes back, and the tally when it stops, as text for
// a person or as JSON Lines for a program. The events are written as they come and not
// kept, so a watch of any length stays in fixed memory.
class WatchReport : public QObject
{
    Q_OBJECT
public:
    WatchReport(ReportedLine line, ReportFormat format, const BusWatch &watch,
                QObject *parent = nullptr);

    WatchResults results() const;

    static QString eventText(const WatchEvent &event);
    static QString eventJson(const WatchEvent &event);
    // What stands last on standard output: the summary, in the report's format.
    QString closingText() const;
    QString summaryText() const;
    QString summaryJson() const;

signals:
    // A line for standard output, the moment it is known.
    void written(const QString &line);
    // For a person watching: "Pass 12, Checking Address 005; online: 004, 005".
    void progress(const QString &text);

private:
    QString progressText(int pass, int address) const;

    const BusWatch &m_watch;
    ReportedLine m_line;
    ReportFormat m_format;
    std::optional<ReportedStop> m_stop;
};
