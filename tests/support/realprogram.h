#pragma once

#include "tests/support/processusage.h"

#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// The real rollcall executable, run as an operator would under an X server: it finds
// the window, clicks controls where the layout puts them, types into the dialogs,
// takes screenshots and closes the window as a window manager does.
//
// Every action returns false on failure and leaves the reason in lastError(), so a
// test can say QVERIFY2(program.click("Command2"), program.why()).
class RealProgram
{
public:
    static constexpr int DefaultTimeoutMs = 10000;

    explicit RealProgram(const QString &executable);
    ~RealProgram(); // closes the program if it still runs, kills it if that fails
    RealProgram(const RealProgram &) = delete;
    RealProgram &operator=(const RealProgram &) = delete;

    // "Com <port>" opens `device` in the program (ROLLCALL_COM<port>). Before start().
    void mapPort(int port, const QString &device);
    // Before start().
    void setEnvironment(const QString &name, const QString &value);
    // Keeps the program's standard error for takeErrorOutput() instead of passing it on.
    // Before start().
    void captureErrorOutput();
    // What the program wrote to standard error since the last call.
    QByteArray takeErrorOutput();

    // Starts the program and waits for its main window to show.
    bool start(int timeoutMs = DefaultTimeoutMs);
    bool isRunning() const;
    qint64 pid() const { return m_pid; }
    quint32 window() const { return m_window; }

    // Clicks the middle of a control of the main window, by its name in the layout.
    bool click(const char *control);
    // Text and keys (xdotool key names, e.g. "Return") go to `window` after focusing it.
    bool typeInto(quint32 window, const QString &text);
    bool pressKey(quint32 window, const QString &key);
    // The newest window of the program's titled "rollcall" other than the main window
    // and `besides`, once it shows; 0 on timeout.
    quint32 waitForDialog(int timeoutMs = DefaultTimeoutMs, quint32 besides = 0);
    bool waitUntilHidden(quint32 window, int timeoutMs = DefaultTimeoutMs);
    // A PNG of one window (the main window by default).
    bool screenshot(const QString &path, quint32 window = 0);

    // What the program has cost so far; valid only while it runs.
    ProcessUsage usage() const { return ProcessUsage::of(m_pid); }
    // Sampled right before the close request: the last reading before the program ends.
    ProcessUsage usageAtClose() const { return m_usageAtClose; }

    // Sends the window manager's close request to the main window.
    bool requestClose();
    bool waitForExit(int timeoutMs = DefaultTimeoutMs);
    bool hasExited() const { return m_exited; }
    bool exitedNormally() const { return m_exited && m_exitStatus == QProcess::NormalExit; }
    int exitCode() const { return m_exitCode; }
    // From the close request to the end of the process; -1 before both happened.
    qint64 millisecondsToExit() const { return m_millisecondsToExit; }

    QString lastError() const { return m_lastError; }
    const char *why() const; // lastError() for QVERIFY2; valid until the next action

private:
    bool xdotool(const QStringList &arguments, int timeoutMs = DefaultTimeoutMs);
    void pause();                          // a short wait between looks at the screen
    QList<quint32> visibleWindows() const; // the program's shown windows titled "rollcall"
    bool fail(const QString &reason);
    void noteExit(int exitCode, QProcess::ExitStatus status);

    QProcess m_process;
    QProcessEnvironment m_environment;
    qint64 m_pid = 0;
    quint32 m_window = 0;

    QElapsedTimer m_sinceCloseRequest;
    ProcessUsage m_usageAtClose;
    qint64 m_millisecondsToExit = -1;
    bool m_exited = false;
    int m_exitCode = -1;
    QProcess::ExitStatus m_exitStatus = QProcess::NormalExit;

    QString m_lastError;
    mutable QByteArray m_lastErrorText;
};
