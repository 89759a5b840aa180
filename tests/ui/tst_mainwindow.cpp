#include "frames.h"
#include "linefixture.h"
#include "mainwindow.h"
#include "openwatch.h"
#include "readerlink.h"
#include "scripteddialogs.h"
#include "simulatedline.h"

#include <QAccessible>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

namespace {

template <typename T> T *control(MainWindow &window, const char *name)
{
    T *found = window.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no control %s", name);
    return found;
}

QStringList listed(MainWindow &window)
{
    QStringList out;
    auto *list = control<QListWidget>(window, "List1");
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// Runs `action` once the status line reads `text`, from inside the command's wait.
void whenStatusReads(MainWindow &window, const QString &text, std::function<void()> action)
{
    once(
        &window, [&window, text] { return control<QLabel>(window, "Label2")->text() == text; },
        action);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        for (int port = 1; port <= 5; ++port)
            unmapPort(port);
    }

    void everyControlHasItsNameAndCaption()
    {
        SimulatedLine line(1);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        QCOMPARE(window.windowTitle(), QStringLiteral("rollcall"));
        QCOMPARE(control<QGroupBox>(window, "Frame1")->title(), QStringLiteral("Comm Port"));
        QCOMPARE(control<QGroupBox>(window, "Frame2")->title(), QStringLiteral("Baud Rate"));
        for (int n = 1; n <= 5; ++n) {
            const QByteArray name = "Option" + QByteArray::number(n);
            auto *radio = control<QRadioButton>(window, name.constData());
            QCOMPARE(radio->text(), QStringLiteral("Com %1").arg(n));
            QCOMPARE(radio->parentWidget()->objectName(), QStringLiteral("Frame1"));
        }
        QCOMPARE(control<QRadioButton>(window, "Option9")->text(), QStringLiteral("19200"));
        QCOMPARE(control<QRadioButton>(window, "Option10")->text(), QStringLiteral("9600"));
        QCOMPARE(control<QRadioButton>(window, "Option9")->parentWidget()->objectName(),
                 QStringLiteral("Frame2"));
        QCOMPARE(control<QPushButton>(window, "Command1")->text(),
                 QStringLiteral("Change Address 0 Reader to New Address"));
        QCOMPARE(control<QPushButton>(window, "Command2")->text(),
                 QStringLiteral("Show Addresses of Readers Online"));
        QCOMPARE(control<QLabel>(window, "Label1")->text(), QStringLiteral("Readers Online"));
        QVERIFY(window.findChild<QTimer *>(QStringLiteral("Timer1")));
        QVERIFY(window.findChild<SerialLine *>(QStringLiteral("MSComm1")));
        // Each port radio tells which device stands behind it.
        QCOMPARE(control<QRadioButton>(window, "Option1")->toolTip(), line.device());
    }

    void screenReadersHearEveryCaption()
    {
        SimulatedLine line(1);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        window.show();
        const QList<QPair<const char *, QString>> captions = {
            {"Command1", "Change Address 0 Reader to New Address"},
            {"Command2", "Show Addresses of Readers Online"},
            {"Option1", "Com 1"},
            {"Option9", "19200"},
            {"Label1", "Readers Online"},
        };
        for (const auto &[name, caption] : captions) {
            QAccessibleInterface *a =
                QAccessible::queryAccessibleInterface(control<QWidget>(window, name));
            QVERIFY2(a, name);
            QCOMPARE(a->text(QAccessible::Name), caption);
        }
    }

    void controlsStandWhereTheLayoutPutsThemAtFifteenTwipsAPixel()
    {
        SimulatedLine line(1);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        QCOMPARE(window.size(), QSize(681, 239));
        const QList<QPair<const char *, QRect>> expected = {
            {"Frame1", {24, 16, 145, 169}},   {"Option1", {12, 32, 109, 17}},
            {"Option5", {12, 128, 109, 17}},  {"Frame2", {184, 16, 145, 169}},
            {"Option9", {12, 56, 109, 17}},   {"Option10", {12, 32, 109, 17}},
            {"Command1", {348, 24, 109, 49}}, {"Command2", {348, 88, 109, 57}},
            {"List1", {496, 32, 137, 147}},   {"Label1", {508, 8, 125, 17}},
            {"Label2", {124, 216, 441, 17}},
        };
        for (const auto &[name, rect] : expected)
            QCOMPARE(control<QWidget>(window, name)->geometry(), rect);
    }

    void theLabelsAreBoldAtNineAndThreeQuarterPoints()
    {
        SimulatedLine line(1);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        for (const char *name : {"Label1", "Label2"}) {
            const QFont font = control<QLabel>(window, name)->font();
            QCOMPARE(font.pointSizeF(), 9.75);
            QCOMPARE(font.weight(), QFont::Bold);
        }
        QVERIFY(control<QLabel>(window, "Label2")->alignment() & Qt::AlignHCenter);
    }

    void tabGoesThroughTheControlsInTheirOrder()
    {
        SimulatedLine line(1);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        const QStringList order = {"Option1", "Option2",  "Option3",  "Option4",  "Option5",
                                   "Option9", "Option10", "Command1", "Command2", "List1"};
        QWidget *w = control<QWidget>(window, "Option1");
        QStringList seen{w->objectName()};
        while (seen.size() < order.size()) {
            w = w->nextInFocusChain();
            if (w->focusPolicy() & Qt::TabFocus)
                seen << w->objectName();
        }
        QCOMPARE(seen, order);
    }

    void startsWithCom1At9600OpenedOnceAndNothingElse()
    {
        SimulatedLine line(1);
        OpenWatch opens(line.device());
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        QVERIFY(control<QRadioButton>(window, "Option1")->isChecked());
        QVERIFY(control<QRadioButton>(window, "Option10")->isChecked());
        QCOMPARE(control<QListWidget>(window, "List1")->count(), 0);
        QCOMPARE(control<QLabel>(window, "Label2")->text(), QString());
        auto *timer1 = window.findChild<QTimer *>(QStringLiteral("Timer1"));
        QVERIFY(!timer1->isActive());
        QCOMPARE(timer1->interval(), 200);
        QCOMPARE(timer1->timerType(), Qt::PreciseTimer);

        QVERIFY(window.port().isOpen());
        QCOMPARE(opens.opens(), 1);
        QCOMPARE(line.baudRate(), 9600);
        QVERIFY(line.isRawOneStopBit());
        QVERIFY(dialogs.messages.isEmpty());
        QVERIFY(!line.bus().waitForReceived(1, 50)); // opening sends nothing
    }

    void speedThenPortRadiosReopenWithBothChoices()
    {
        SimulatedLine com1(1);
        SimulatedLine com3(3);
        OpenWatch opens1(com1.device());
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);

        control<QRadioButton>(window, "Option9")->click();
        QCOMPARE(opens1.opens(), 2);
        QCOMPARE(com1.baudRate(), 19200);
        QVERIFY(com1.isRawOneStopBit());

        control<QRadioButton>(window, "Option3")->click();
        QVERIFY(window.port().isOpen());
        QCOMPARE(window.port().device(), com3.device());
        QCOMPARE(com3.baudRate(), 19200);
        QCOMPARE(opens1.closes(), 2); // Com 1 was let go
        QVERIFY(dialogs.messages.isEmpty());
    }

    void aMissingPortSaysInvalidComPortOnceAndAGoodOneOpensAfterwards()
    {
        SimulatedLine com1(1);
        mapPortToMissingDevice(2);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);

        control<QRadioButton>(window, "Option2")->click();
        QCOMPARE(dialogs.messages, QStringList{QStringLiteral("Invalid Com Port")});
        QVERIFY(dialogs.details.first().contains(QLatin1String("rollcall-test-no-such-device")));
        QVERIFY(!window.port().isOpen());
        QVERIFY(control<QRadioButton>(window, "Option2")->isChecked()); // the choice stays

        control<QRadioButton>(window, "Option1")->click();
        QVERIFY(window.port().isOpen());
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(control<QLabel>(window, "Label2")->text(), QString());
    }

    void aRadioClickKeepsTheLastCommandsResult()
    {
        SimulatedLine com1(1);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        control<QPushButton>(window, "Command1")->click(); // nobody at 0: a status text
        QCOMPARE(control<QLabel>(window, "Label2")->text(),
                 QStringLiteral("Reader Address 0 is not online"));
        control<QRadioButton>(window, "Option9")->click();
        QVERIFY(window.port().isOpen());
        QCOMPARE(control<QLabel>(window, "Label2")->text(),
                 QStringLiteral("Reader Address 0 is not online"));
    }

    void aMissingCom1AtStartLeavesAUsableWindowThatSaysWhy()
    {
        mapPortToMissingDevice(1);
        SimulatedLine com3(3);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        const QString status = control<QLabel>(window, "Label2")->text();
        QVERIFY2(status.contains(QLatin1String("Com 1")) &&
                     status.contains(QLatin1String("does not exist")),
                 qPrintable(status));
        QVERIFY(dialogs.messages.isEmpty());
        QVERIFY(!window.port().isOpen());

        control<QRadioButton>(window, "Option3")->click();
        QVERIFY(window.port().isOpen());
        QCOMPARE(control<QLabel>(window, "Label2")->text(), QString());
    }

    // One whole scan at the real 200 ms reply window, with the operator clicking around.
    void aRealScanListsTheReadersRefusesASecondCommandAndFollowsASpeedChange()
    {
        SimulatedLine line(1);
        sim::Reader early, late;
        early.address = 3;
        late.address = 50;
        line.bus().addReader(early);
        line.bus().addReader(late);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        auto *command1 = control<QPushButton>(window, "Command1");
        auto *command2 = control<QPushButton>(window, "Command2");
        QSignalSpy windows(&window.link(), &ReaderLink::replyWindowMeasured);

        bool refusedWhileRunning = false;
        whenStatusReads(window, QStringLiteral("Checking Address 010"), [&] {
            refusedWhileRunning = !command1->isEnabled() && !command2->isEnabled();
            command1->click();
            command2->click();
        });
        whenStatusReads(window, QStringLiteral("Checking Address 020"),
                        [&] { control<QRadioButton>(window, "Option9")->click(); });

        QElapsedTimer took;
        took.start();
        command2->click();
        const qint64 scanMs = took.elapsed();

        QVERIFY(refusedWhileRunning);
        QVERIFY(dialogs.prompts.isEmpty());
        QVERIFY(command1->isEnabled() && command2->isEnabled());
        QCOMPARE(listed(window), QStringList({"Address 003", "Address 050"}));
        QCOMPARE(control<QLabel>(window, "Label2")->text(),
                 QStringLiteral("There are 2 readers online"));
        QCOMPARE(line.baudRate(), 19200);
        QCOMPARE(line.bus().received().toHex(' '), scanTraffic(0, 126).toHex(' '));

        qint64 shortest = std::numeric_limits<qint64>::max(), longest = 0;
        for (const QList<QVariant> &w : windows) {
            shortest = std::min(shortest, w.at(1).toLongLong());
            longest = std::max(longest, w.at(1).toLongLong());
        }
        QCOMPARE(windows.count(), 127);
        QVERIFY(shortest >= 200'000'000);
        qInfo("scan of 127 addresses: %lld ms; reply windows %.3f .. %.3f ms", scanMs,
              shortest / 1e6, longest / 1e6);
    }

    void closingTheWindowMidScanStopsTheTrafficAtOnce()
    {
        SimulatedLine line(1);
        ScriptedDialogs dialogs;
        MainWindow window(&dialogs);
        window.findChild<QTimer *>(QStringLiteral("Timer1"))->setInterval(60);
        whenStatusReads(window, QStringLiteral("Checking Address 005"), [&] { window.close(); });
        QElapsedTimer took;
        took.start();
        control<QPushButton>(window, "Command2")->click();
        QVERIFY(took.elapsed() < 127 * 60);
        QVERIFY(!window.port().isOpen());
        QTest::qWait(150);
        QCOMPARE(line.bus().received().toHex(' '), scanTraffic(0, 5).toHex(' '));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
