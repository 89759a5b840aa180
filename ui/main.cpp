#include "ui/mainwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QLoggingCategory>
#include <QTimer>

// QT_LOGGING_RULES="rollcall.startup.debug=true" tells when the window was first shown,
// for measuring start-up time from outside.
Q_LOGGING_CATEGORY(lcStartup, "rollcall.startup", QtWarningMsg)

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("rollcall"));
    MainWindow window;
    window.show();
    // Runs once the first pass of the event loop has exposed and painted the window.
    QTimer::singleShot(0, &window, [] {
        qCDebug(lcStartup, "window shown at %lld ms since the epoch",
                static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
    });
    return app.exec();
}
