#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// One run of a helper program (xdotool, import, ...), bounded in time: a helper that
// hangs, like "xdotool search --sync" for a window that never comes, is killed.
struct ToolRun
{
    bool started = false;
    bool finished = false; // false: killed at the time limit
    int exitCode = -1;
    QByteArray output;
    QByteArray errorOutput;

    bool succeeded() const { return finished && exitCode == 0; }
    // "xdotool key Return: exit 1: <stderr>", for failure messages.
    QString describe(const QString &program, const QStringList &arguments) const;
};

ToolRun runTool(const QString &program, const QStringList &arguments, int timeoutMs);
