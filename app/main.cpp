#include "app/commandline.h"
#include "system/standardstream.h"
#include "terminal/terminal.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

// QT_LOGGING_RULES="rollcall.startup.debug=true" tells when the window was first shown,
// for measuring start-up time from outside.
Q_LOGGING_CATEGORY(lcStartup, "rollcall.startup", QtWarningMsg)

int main(int argc, char *argv[])
{
    // Answered before QApplication exists: it would abort without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine commandLine = CommandLine::parse(arguments);
    switch (commandLine.action) {
    case CommandLine::Action::ShowHelp:
    case CommandLine::Action::ShowVersion:
        StandardStream::print(stdout, commandLine.text);
        return 0;
    case CommandLine::Action::Refuse:
        StandardStream::print(stderr, commandLine.text + QLatin1Char('\n'));
        return 2;
    case CommandLine::Action::Run:
    case CommandLine::Action::Scan:
    case CommandLine::Action::Watch:
    case CommandLine::Action::Assign:
    case CommandLine::Action::Check:
    case CommandLine::Action::Commission:
        break;
    }
    if (commandLine.trace)
        QLoggingCategory::setFilterRules(QStringLiteral("rollcall.bus.trace.debug=true"));

    // No display needed: a terminal command never makes a QApplication.
    if (commandLine.action != CommandLine::Action::Run) {
        const QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("rollcall"));
        return runInTerminal(commandLine);
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rollcall"));
    // Closing deletes the window, once any command running inside it has unwound.
    QPointer<MainWindow> window = new MainWindow(nullptr, commandLine.ports);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    // Runs once the first pass of the event loop has exposed and painted the window.
    QTimer::singleShot(0, window, [] {
        qCDebug(lcStartup, "window shown at %lld ms since the epoch",
                static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
    });
    const int status = QApplication::exec();
    delete window; // still there when the loop ended before its deferred deletion ran
    return status;
}
