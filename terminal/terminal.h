#pragma once

#include "bus/frames.h"
#include "line/portmap.h"

#include <QList>

// What a command from a terminal is to do, as its command line gave it.
struct TerminalCommand
{
    enum class Kind { Scan, Watch, Assign, Check, Commission };

    Kind kind = Kind::Scan;
    // The devices given with --com N=DEVICE; a later --com for the same port wins.
    PortMap ports;
    // The port and its speed; a scan may go through several speeds in turn. For Scan and
    // Watch the addresses to poll and the reply window; for Commission the addresses to
    // give.
    int port = PortMap::FirstPort;
    QList<int> bauds{9600};
    int firstAddress = frames::FirstAddress;
    int lastAddress = frames::LastAddress;
    int windowMs = 200;
    bool json = false;
    // For Scan: the document an earlier "rollcall scan --json" wrote, to compare with;
    // empty for none.
    QString compareWith;
    // For Assign: the new address, already judged valid.
    int newAddress = 0;
};

// Runs "rollcall scan", "watch", "assign NEW", "check" or "commission" on the same bus and command
// code as the window, with no window: readers, results and verdicts on standard output, refusals
// and line failures on standard error. Needs a QCoreApplication; returns the exit status.
int runInTerminal(const TerminalCommand &command);
