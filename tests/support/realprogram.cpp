#include "tests/support/realprogram.h"

#include "tests/support/closerequest.h"
#include "tests/support/toolrun.h"
#include "window/layouttable.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <cstring>

namespace {

const QString XDoTool = QStringLiteral("xdotool");
const QString TitlePattern = QStringLiteral("^rollcall$");
constexpr int PollIntervalMs = 50;

// Radio buttons are laid out inside their frame, everything else inside the window.
const char *frameOf(const char *control)
{
    static const char *const inFrame1[] = {"Option1", "Option2", "Option3", "Option4", "Option5"};
    static const char *const inFrame2[] = {"Option9", "Option10"};
    for (const char *name : inFrame1) {
        if (std::strcmp(name, control) == 0)
            return "Frame1";
    }
    for (const char *name : inFrame2) {
        if (std::strcmp(name, control) == 0)
            return "Frame2";
    }
    return nullptr;
}

QPoint centreInWindow(const char *control)
{
    QPoint centre = layout::pixels(layout::placementOf(control)).center();
    if (const char *frame = frameOf(control))
        centre += layout::pixels(layout::placementOf(frame)).topLeft();
    return centre;
}

QList<quint32> parseWindowIds(const QByteArray &output)
{
    QList<quint32> ids;
    for (const QByteArray &line : output.split('\n')) {
        bool ok = false;
        const quint32 id = line.trimmed().toUInt(&ok);
        if (ok)
            ids.append(id);
    }
    return ids;
}

QString windowArgument(quint32 window)
{
    return QString::number(window);
}

} // namespace

RealProgram::RealProgram(const QString &executable)
    : m_environment(QProcessEnvironment::systemEnvironment())
{
    m_process.setProgram(executable);
    // Its warnings land in the test log next to the test's own output.
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    // The real window on the X server, whatever the tests around us run on.
    m_environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QObject::connect(&m_process, &QProcess::finished,
                     [this](int code, QProcess::ExitStatus s) { noteExit(code, s); });
}

RealProgram::~RealProgram()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Politely first: a killed program leaves its port's lock file behind.
    if (m_window && requestWindowClose(m_window) && m_process.waitForFinished(2000))
        return;
    m_process.kill();
    m_process.waitForFinished(2000);
}

void RealProgram::mapPort(int port, const QString &device)
{
    m_environment.insert(QStringLiteral("ROLLCALL_COM%1").arg(port), device);
}

void RealProgram::setEnvironment(const QString &name, const QString &value)
{
    m_environment.insert(name, value);
}

void RealProgram::captureErrorOutput()
{
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
}

QByteArray RealProgram::takeErrorOutput()
{
    m_process.waitForReadyRead(0);
    return m_process.readAllStandardError();
}

bool RealProgram::start(int timeoutMs)
{
    if (!m_environment.contains(QStringLiteral("DISPLAY")))
        return fail(QStringLiteral("DISPLAY is not set: run under an X server (xvfb-run)"));
    m_process.setProcessEnvironment(m_environment);
    m_process.start();
    if (!m_process.waitForStarted(timeoutMs))
        return fail(QStringLiteral("%1 did not start: %2")
                        .arg(m_process.program(), m_process.errorString()));
    m_pid = m_process.processId();

    // xdotool waits for the window itself; meanwhile watch for the program dying early.
    QProcess search;
    search.start(XDoTool, {QStringLiteral("search"), QStringLiteral("--sync"),
                           QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                           QString::number(m_pid), QStringLiteral("--name"), TitlePattern});
    if (!search.waitForStarted(timeoutMs))
        return fail(QStringLiteral("xdotool did not start: %1").arg(search.errorString()));
    const QDeadlineTimer deadline(timeoutMs);
    while (!search.waitForFinished(PollIntervalMs)) {
        if (!isRunning() || deadline.hasExpired() || search.state() == QProcess::NotRunning) {
            search.kill();
            search.waitForFinished(1000);
            if (!isRunning())
                return fail(QStringLiteral("the program ended before its window showed (exit %1)")
                                .arg(m_exitCode));
            return fail(
                QStringLiteral("no window titled \"rollcall\" within %1 ms").arg(timeoutMs));
        }
        m_process.waitForFinished(0); // notices an early exit
    }
    const QList<quint32> windows = parseWindowIds(search.readAllStandardOutput());
    if (windows.isEmpty())
        return fail(QStringLiteral("xdotool search failed: %1")
                        .arg(QString::fromLocal8Bit(search.readAllStandardError())));
    // Only the main window shows this early.
    m_window = *std::min_element(windows.begin(), windows.end());
    return true;
}

bool RealProgram::isRunning() const
{
    return m_process.state() == QProcess::Running && !m_exited;
}

QList<quint32> RealProgram::visibleWindows() const
{
    // Qt also keeps an unmapped 1x1 leader window with the same title: only shown
    // windows count.
    const QStringList arguments = {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                   QStringLiteral("--pid"),  QString::number(m_pid),
                                   QStringLiteral("--name"), TitlePattern};
    // No match is exit status 1, not a failure.
    return parseWindowIds(runTool(XDoTool, arguments, DefaultTimeoutMs).output);
}

bool RealProgram::click(const char *control)
{
    const QPoint at = centreInWindow(control);
    return xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"),
                    windowArgument(m_window), QStringLiteral("--sync"), QString::number(at.x()),
                    QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
}

bool RealProgram::typeInto(quint32 window, const QString &text)
{
    return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), windowArgument(window),
                    QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text});
}

bool RealProgram::pressKey(quint32 window, const QString &key)
{
    return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), windowArgument(window),
                    QStringLiteral("key"), key});
}

quint32 RealProgram::waitForDialog(int timeoutMs, quint32 besides)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && isRunning()) {
        QList<quint32> windows = visibleWindows();
        windows.removeAll(m_window);
        windows.removeAll(besides);
        if (!windows.isEmpty()) {
            // X hands a client ever larger ids, so the largest is the newest.
            return *std::max_element(windows.begin(), windows.end());
        }
        pause();
    }
    fail(isRunning() ? QStringLiteral("no dialog showed within %1 ms").arg(timeoutMs)
                     : QStringLiteral("the program ended while a dialog was awaited"));
    return 0;
}

bool RealProgram::waitUntilHidden(quint32 window, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && isRunning()) {
        if (!visibleWindows().contains(window))
            return true;
        pause();
    }
    if (!isRunning())
        return fail(QStringLiteral("the program ended"));
    return fail(QStringLiteral("window %1 still shows after %2 ms").arg(window).arg(timeoutMs));
}

bool RealProgram::screenshot(const QString &path, quint32 window)
{
    const QStringList arguments = {QStringLiteral("-window"),
                                   windowArgument(window ? window : m_window), path};
    const ToolRun run = runTool(QStringLiteral("import"), arguments, DefaultTimeoutMs);
    if (!run.succeeded())
        return fail(run.describe(QStringLiteral("import"), arguments));
    return true;
}

bool RealProgram::requestClose()
{
    if (!isRunning())
        return fail(QStringLiteral("the program is not running"));
    m_usageAtClose = usage();
    QString error;
    m_sinceCloseRequest.start();
    if (!requestWindowClose(m_window, &error)) {
        m_sinceCloseRequest.invalidate();
        return fail(error);
    }
    return true;
}

bool RealProgram::waitForExit(int timeoutMs)
{
    if (!m_exited && !m_process.waitForFinished(timeoutMs))
        return fail(QStringLiteral("the program still runs after %1 ms").arg(timeoutMs));
    return true;
}

void RealProgram::noteExit(int exitCode, QProcess::ExitStatus status)
{
    m_exited = true;
    m_exitCode = exitCode;
    m_exitStatus = status;
    if (m_sinceCloseRequest.isValid())
        m_millisecondsToExit = m_sinceCloseRequest.elapsed();
}

bool RealProgram::xdotool(const QStringList &arguments, int timeoutMs)
{
    const ToolRun run = runTool(XDoTool, arguments, timeoutMs);
    if (!run.succeeded())
        return fail(run.describe(XDoTool, arguments));
    return true;
}

void RealProgram::pause()
{
    // Waiting on the process also notices at once when it ends.
    if (m_process.state() == QProcess::NotRunning)
        QThread::msleep(PollIntervalMs);
    else
        m_process.waitForFinished(PollIntervalMs);
}

bool RealProgram::fail(const QString &reason)
{
    m_lastError = reason;
    return false;
}

const char *RealProgram::why() const
{
    m_lastErrorText = m_lastError.toLocal8Bit();
    return m_lastErrorText.constData();
}
