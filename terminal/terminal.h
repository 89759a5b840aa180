#pragma once

struct CommandLine;

// Runs "rollcall scan" or "rollcall assign NEW" on the same bus and command code as the
// window, with no window: readers and results on standard output, refusals and line
// failures on standard error. Needs a QCoreApplication; returns the exit status.
int runInTerminal(const CommandLine &commandLine);
