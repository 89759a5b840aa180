#include "tests/support/toolrun.h"

#include <QProcess>

QString ToolRun::describe(const QString &program, const QStringList &arguments) const
{
    const QString command = (QStringList{program} + arguments).join(QLatin1Char(' '));
    if (!started)
        return command + QStringLiteral(": could not be started");
    if (!finished)
        return command + QStringLiteral(": timed out");
    return QStringLiteral("%1: exit %2: %3")
        .arg(command)
        .arg(exitCode)
        .arg(QString::fromLocal8Bit(errorOutput).trimmed());
}

ToolRun runTool(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ToolRun run;
    QProcess process;
    process.start(program, arguments);
    run.started = process.waitForStarted(timeoutMs);
    if (!run.started)
        return run;
    run.finished = process.waitForFinished(timeoutMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(1000);
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = process.readAllStandardOutput();
    run.errorOutput = process.readAllStandardError();
    return run;
}
