#pragma once

#include "bus/portmap.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// What rollcall was asked to do on its command line. Parsed before any QApplication
// exists, so --help, --version and mistakes are answered without a display.
struct CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    enum class Action { Run, ShowHelp, ShowVersion, Refuse };

    Action action = Action::Run;
    // The devices given with --com N=DEVICE; a later --com for the same port wins.
    PortMap ports;
    // For ShowHelp and ShowVersion the text for standard output; for Refuse the one
    // line for standard error, starting with the program's name.
    QString text;

    // `arguments` starts with the program's name, like QCoreApplication::arguments().
    static CommandLine parse(const QStringList &arguments);
};
