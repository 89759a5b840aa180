#pragma once

#include "commands/linecheck.h"

#include <QCoreApplication>
#include <QList>
#include <QString>

// One row of a check's verdict: what was looked at, how it stands, and the evidence.
struct CheckRow
{
    enum class Status { Ok, Note, Problem, NotChecked };

    QString name;
    Status status = Status::Ok;
    QString evidence;
};

// What `rollcall check` found at each speed, judged row by row, as text for a person or
// one JSON document for a program. A row is a problem when:
// - line: another master talks;
// - echo: the echo of rollcall's own bytes came back changed (an echo as it was sent is
//   set aside and is only a note);
// - speed: readers answer at both speeds, or at neither;
// - replies: a window held bytes that no reader sends.
// The reply times and the adapter's delay are evidence, never a problem.
class CheckReport
{
    Q_DECLARE_TR_FUNCTIONS(CheckReport)

public:
    // The exit status when any row is a problem.
    static constexpr int ProblemStatus = 5;

    CheckReport(int port, QString device);

    void add(int baud, const LineFindings &findings);

    QList<CheckRow> rows() const;
    bool hasProblem() const;
    QString text() const;
    QString json() const;

private:
    struct Speed
    {
        int baud;
        LineFindings findings;
    };

    CheckRow lineRow() const;
    CheckRow echoRow() const;
    CheckRow speedRow() const;
    CheckRow repliesRow() const;
    CheckRow replyTimeRow() const;
    CheckRow adapterDelayRow() const;
    // "; not checked at 19200 baud: adapter unplugged" for each speed whose check ended
    // early, another master's too unless `exceptOtherMaster`.
    QString notChecked(bool exceptOtherMaster = false) const;
    bool anyComplete() const;

    int m_port;
    QString m_device;
    QList<Speed> m_speeds;
};
