#pragma once

#include "bus/frames.h"
#include "line/portmap.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// What rollcall was asked to do on its command line: open the window, or scan or assign
// from a terminal. Parsed before any QApplication exists, so --help, --version and
// mistakes are answered without a display, and nothing is opened for a mistake.
struct CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    enum class Action { Run, Scan, Watch, Assign, ShowHelp, ShowVersion, Refuse };

    Action action = Action::Run;
    // The devices given with --com N=DEVICE; a later --com for the same port wins.
    PortMap ports;
    bool trace = false;

    // For Scan, Watch and Assign: the port and its speed; a scan may go through several
    // speeds in turn. For Scan and Watch the addresses to poll and the reply window.
    int port = PortMap::FirstPort;
    QList<int> bauds{9600};
    int firstAddress = frames::FirstAddress;
    int lastAddress = frames::LastAddress;
    int windowMs = 200;
    bool json = false;
    // For Assign: the new address, already judged valid.
    int newAddress = 0;

    // For ShowHelp and ShowVersion the text for standard output; for Refuse the one
    // line for standard error, starting with the program's name.
    QString text;

    // `arguments` starts with the program's name, like QCoreApplication::arguments().
    static CommandLine parse(const QStringList &arguments);
};
