#pragma once

#include "terminal/terminal.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>

// What rollcall was asked to do on its command line: open the window, or scan, watch,
// assign, check or commission from a terminal. Parsed before any QApplication exists, so --help,
// --version and mistakes are answered without a display, and nothing is opened for a
// mistake. The window takes its ports (--com) and the trace from here as well, so the
// parser sits above both front ends. For the commands, what the terminal
// is to do is the TerminalCommand part.
struct CommandLine : TerminalCommand
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    enum class Action {
        Run,
        Scan,
        Watch,
        Assign,
        Check,
        Commission,
        ShowHelp,
        ShowVersion,
        Refuse
    };

    Action action = Action::Run;
    bool trace = false;

    // For ShowHelp and ShowVersion the text for standard output; for Refuse the one
    // line for standard error, starting with the program's name.
    QString text;

    // `arguments` starts with the program's name, like QCoreApplication::arguments().
    static CommandLine parse(const QStringList &arguments);
};
