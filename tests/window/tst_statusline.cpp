#include "bus/readerlink.h"
#include "commands/addressassignment.h"
#include "commands/busscan.h"
#include "tests/support/linefixture.h"
#include "tests/support/scriptedwindowdialogs.h"
#include "tests/support/simulatedline.h"
#include "window/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int DevicePathLength = 120;

// A path of exactly DevicePathLength characters inside `dir`, its folders created.
QString longPath(const QTemporaryDir &dir, const QString &name)
{
    QString folder = dir.path() + QLatin1String("/adapters-on-the-far-side-of-the-hall");
    while (folder.size() + 1 + name.size() < DevicePathLength)
        folder += QLatin1Char('x');
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name;
    return path.left(DevicePathLength);
}

// The window on Com 1 with a device path far longer than the status line.
struct LongPathWindow
{
    explicit LongPathWindow(const QString &device)
    {
        ports.setDevice(1, device);
        window = std::make_unique<MainWindow>(&dialogs, ports);
        window->link().setReplyWindowForTesting(std::chrono::milliseconds(30));
    }
    QLabel *status() const { return window->findChild<QLabel *>(QStringLiteral("Label2")); }
    void click(const char *name) const
    {
        window->findChild<QAbstractButton *>(QLatin1String(name))->click();
    }
    void when(const QString &text, const std::function<void()> &action)
    {
        const auto shown = [this, text] { return status()->text() == text; };
        once(window.get(), shown, action);
    }

    PortMap ports;
    ScriptedWindowDialogs dialogs;
    std::unique_ptr<MainWindow> window;
};

// The status line shows the text whole, but for the device path, shortened in the
// middle; the tooltip and the accessible description hold all of it.
void verifyReadsWhole(const LongPathWindow &w, const QString &device, const QString &begins,
                      const QString &ends)
{
    QLabel *label = w.status();
    const QString shown = label->text();
    const int width = QFontMetrics(label->font()).horizontalAdvance(shown);
    QVERIFY2(width <= label->contentsRect().width(),
             qPrintable(QStringLiteral("%1 px for %2 px: %3")
                            .arg(width)
                            .arg(label->contentsRect().width())
                            .arg(shown)));
    QVERIFY2(shown.startsWith(begins) && shown.endsWith(ends), qPrintable(shown));
    QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown)); // the path gave way
    QVERIFY2(label->toolTip().contains(device), qPrintable(label->toolTip()));
    QCOMPARE(label->accessibleDescription(), label->toolTip());
}

} // namespace

class TestStatusLine : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        for (int port = 1; port <= 5; ++port)
            unmapPort(port);
    }

    void portProblemsReadWhole_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("ends");
        QTest::newRow("missing") << "missing"
                                 << " does not exist";
        QTest::newRow("regular file") << "file"
                                      << " is not a serial device";
        QTest::newRow("in use") << "held"
                                << " is in use by another program";
    }
    void portProblemsReadWhole()
    {
        QFETCH(QString, kind);
        QFETCH(QString, ends);
        QTemporaryDir dir;
        const QString device = longPath(dir, kind);
        SimulatedLine line(2);
        std::unique_ptr<Line> holder; // another program's hold on the device
        if (kind == QLatin1String("file")) {
            QFile file(device);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (kind == QLatin1String("held")) {
            QVERIFY(QFile::link(line.device(), device));
            PortMap heldPorts;
            heldPorts.setDevice(1, device);
            holder = std::make_unique<Line>(heldPorts);
            QVERIFY(holder->open());
        }

        LongPathWindow w(device); // at start-up
        verifyReadsWhole(w, device, QStringLiteral("Com 1: "), ends);
        QVERIFY(w.dialogs.messages.isEmpty());

        w.click("Option2");
        QVERIFY(w.window->port().isOpen());
        w.click("Option1"); // and again by radio, with the box this time
        verifyReadsWhole(w, device, QStringLiteral("Com 1: "), ends);
        QCOMPARE(w.dialogs.messages, QStringList{"Invalid Com Port"});
        QVERIFY2(w.dialogs.details.first().contains(device), qPrintable(w.dialogs.details.first()));
    }

    void aLineLostIdleOrInACommandReadsWhole()
    {
        QTemporaryDir dir;
        auto line = std::make_unique<SimulatedLine>(2);
        line->bus().addReader(sim::Reader{});
        const QString device = longPath(dir, QStringLiteral("lost"));
        QVERIFY(QFile::link(line->device(), device));
        LongPathWindow w(device);
        QVERIFY(w.window->port().isOpen());

        line->bus().unplug();
        QTRY_VERIFY(!w.status()->text().isEmpty());
        verifyReadsWhole(w, device, QStringLiteral("Com 1: "), QStringLiteral(" was unplugged"));

        // Mid-scan, a radio points Com 1 at a device that is not there.
        line = std::make_unique<SimulatedLine>(2);
        QFile::remove(device);
        QVERIFY(QFile::link(line->device(), device));
        w.click("Option1");
        QVERIFY(w.window->port().isOpen());
        w.when(QStringLiteral("Checking Address 003"), [&] {
            QFile::remove(device);
            w.click("Option1");
        });
        w.click("Command2");
        verifyReadsWhole(w, device, QStringLiteral("Scan stopped at 003: "),
                         QStringLiteral(" does not exist"));
    }

    // Texts that carry no path must fit as they are.
    void theCommandsOwnTextsFitTheStatusLine()
    {
        SimulatedLine line(1);
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        auto *label = window.findChild<QLabel *>(QStringLiteral("Label2"));
        const QFontMetrics metrics(label->font());
        const QStringList texts = {BusScan::progressText(126),
                                   BusScan::resultText(127),
                                   BusScan::resultText(0),
                                   AddressAssignment::notOnlineText(),
                                   QStringLiteral("Scan stopped at 126: adapter unplugged"),
                                   QStringLiteral("Address change stopped: the port is not open")};
        for (const QString &text : texts)
            QVERIFY2(metrics.horizontalAdvance(text) <= label->contentsRect().width(),
                     qPrintable(text));
    }
};

QTEST_MAIN(TestStatusLine)
#include "tst_statusline.moc"
