#pragma once

#include "line/portproblem.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QString>

// Why a command stopped before its end, for the front end to word: the line went down,
// or another device talks on it.
struct StopReason
{
    Q_GADGET
    Q_DECLARE_TR_FUNCTIONS(StopReason)

public:
    // The bytes that gave another master away: its frame, or what came while the program
    // was silent. Empty when the line went down.
    QByteArray otherMaster;
    // Why the line went down, as the line saw it: kind None when it was not open at all.
    PortProblem line;

    bool isOtherMaster() const { return !otherMaster.isEmpty(); }
    // What the operator is to know and do about another master, with the bytes seen;
    // its first words alone, where room is short.
    QString otherMasterText() const;
    static QString otherMasterSummary();
};
