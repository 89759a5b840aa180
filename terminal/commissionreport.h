#pragma once

#include "commands/commissioning.h"
#include "terminal/scanreport.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

// Follows a commissioning run from its signals and writes what "rollcall commission"
// prints: a line for each step the moment it happens, as text for a technician or as JSON
// Lines for a program, and a summary when the run ends.
class CommissionReport : public QObject
{
    Q_OBJECT
public:
    // How the run ended, as the summary names it.
    enum class Ending { LastAddress, NoFreeAddress, Interrupted, Stopped };

    CommissionReport(ReportedLine line, ReportFormat format, const Commissioning &run,
                     QObject *parent = nullptr);

    void setStop(const ReportedStop &stop) { m_stop = stop; }
    // What stands last on standard output: "3 readers given 010, 011, 012", or the
    // summary's document.
    QString closingText(Ending ending) const;

    static QString stopText(const StopReason &why);
    static QString noFreeAddressText(int lastAddress);

signals:
    // A line for standard output, the moment it is known.
    void written(const QString &line);

private:
    void tell(const char *event, int address, const QString &text, int count = 0);

    const Commissioning &m_run;
    ReportedLine m_line;
    ReportFormat m_format;
    std::optional<ReportedStop> m_stop;
};
