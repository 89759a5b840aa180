#include "bus/frames.h"
#include "bus/readerlink.h"
#include "bus/replytimer.h"
#include "line/rfc2217session.h"
#include "tests/support/linefixture.h"
#include "tests/support/openwatch.h"
#include "tests/support/scriptedwindowdialogs.h"
#include "tests/support/simulatedline.h"
#include "window/mainwindow.h"
#include "window/portmenu.h"
#include "window/wrappedtextbutton.h"

#include <QAccessible>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTcpServer>
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
void whenStatusReads(MainWindow &window, const QString &text, const std::function<void()> &action)
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

    // Every control keeps its caption and shows it whole at the font it is drawn with.
    void everyCaptionFitsItsControlAtTheWindowsFont()
    {
        SimulatedLine line(1);
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        window.show();
        QCOMPARE(window.windowTitle(), QStringLiteral("rollcall"));

        const QList<QPair<const char *, QString>> groups = {{"Frame1", "Comm Port"},
                                                            {"Frame2", "Baud Rate"}};
        for (const auto &[name, title] : groups) {
            auto *group = control<QGroupBox>(window, name);
            QCOMPARE(group->title(), title);
            QVERIFY2(group->fontMetrics().horizontalAdvance(title) < group->width() - 16, name);
        }

        const QList<QPair<const char *, QString>> radios = {
            {"Option1", "Com 1"}, {"Option2", "Com 2"}, {"Option3", "Com 3"}, {"Option4", "Com 4"},
            {"Option5", "Com 5"}, {"Option9", "19200"}, {"Option10", "9600"}};
        for (const auto &[name, caption] : radios) {
            auto *radio = control<QRadioButton>(window, name);
            QCOMPARE(radio->text(), caption);
            const QString frame =
                QLatin1String(caption.startsWith(QLatin1String("Com")) ? "Frame1" : "Frame2");
            QCOMPARE(radio->parentWidget()->objectName(), frame);
            QVERIFY2(radio->sizeHint().width() <= radio->width(), name);
        }

        // The two long captions wrap; every line must fit across and all lines down.
        const QList<QPair<const char *, QString>> buttons = {
            {"Command1", "Change Address 0 Reader to New Address"},
            {"Command2", "Show Addresses of Readers Online"}};
        for (const auto &[name, caption] : buttons) {
            auto *button = control<WrappedTextButton>(window, name);
            QCOMPARE(button->text(), caption);
            const QRect inside = button->captionArea();
            const QRect needed = button->fontMetrics().boundingRect(
                inside, Qt::AlignCenter | Qt::TextWordWrap, caption);
            QVERIFY2(inside.contains(needed), qPrintable(QStringLiteral("%1 needs %2x%3 in %4x%5")
                                                             .arg(QLatin1String(name))
                                                             .arg(needed.width())
                                                             .arg(needed.height())
                                                             .arg(inside.width())
                                                             .arg(inside.height())));
        }

        auto *heading = control<QLabel>(window, "Label1");
        QCOMPARE(heading->text(), QStringLiteral("Readers Online"));
        QVERIFY(heading->fontMetrics().horizontalAdvance(heading->text()) <= heading->width());
        QVERIFY(heading->fontMetrics().height() <= heading->height());
        auto *status = control<QLabel>(window, "Label2");
        QVERIFY(status->fontMetrics().height() <= status->height());
    }

    void noTwoControlsOverlapAndEveryControlLiesInsideTheClientArea()
    {
        SimulatedLine line(1);
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        const QStringList topLevel = {"Frame1", "Frame2", "Command1", "Command2",
                                      "List1",  "Label1", "Label2",   "findingsLabel"};
        const QRect client = window.rect();
        for (int i = 0; i < topLevel.size(); ++i) {
            auto *a = control<QWidget>(window, qPrintable(topLevel[i]));
            QCOMPARE(a->parentWidget(), &window);
            QVERIFY2(client.contains(a->geometry()), qPrintable(topLevel[i]));
            for (int j = i + 1; j < topLevel.size(); ++j) {
                auto *b = control<QWidget>(window, qPrintable(topLevel[j]));
                QVERIFY2(!a->geometry().intersects(b->geometry()),
                         qPrintable(topLevel[i] + QLatin1String(" overlaps ") + topLevel[j]));
            }
        }
        // Radios stand inside their frame, one below the other.
        for (auto *frame :
             {control<QGroupBox>(window, "Frame1"), control<QGroupBox>(window, "Frame2")}) {
            const QList<QRadioButton *> radios = frame->findChildren<QRadioButton *>();
            QVERIFY(radios.size() >= 2);
            for (int i = 0; i < radios.size(); ++i) {
                QVERIFY(frame->rect().contains(radios[i]->geometry()));
                for (int j = i + 1; j < radios.size(); ++j)
                    QVERIFY(!radios[i]->geometry().intersects(radios[j]->geometry()));
            }
        }
    }

    void screenReadersHearEveryCaption()
    {
        SimulatedLine line(1);
        ScriptedWindowDialogs dialogs;
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

    // How a command ended, as the window words it: a change in a box that names the
    // button to verify it with, a stop on the status line with why, whole; what the bus
    // showed beside the readers on a line of its own, the list and its result as ever.
    void theWindowWordsHowACommandEnded_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<QString>("bus"); // "echo", "other master", or readers to add
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("findings");
        QTest::newRow("changed")
            << "Command1" << true << QString() << QString()
            << QStringList{"Reader address has been changed - rerun \"Show Addresses\" to "
                           "verify the change"}
            << QString();
        QTest::newRow("assignment, port closed")
            << "Command1" << false << QString() << "Address change stopped: the port is not open"
            << QStringList() << QString();
        QTest::newRow("scan, port closed")
            << "Command2" << false << QString() << "Scan stopped at 000: the port is not open"
            << QStringList() << QString();
        QTest::newRow("scan, another master")
            << "Command2" << true << "other master"
            << "Scan stopped at 000: another device is polling this line" << QStringList()
            << QString();
        QTest::newRow("scan, echo and a garbled reply")
            << "Command2" << true << "echo 12:garbled"
            << "There are 1 readers online" << QStringList()
            << "The adapter echoes what it sends; its echo is set aside\n"
               "012 answered 13 55 AA 41, not a reader's reply";
    }
    void theWindowWordsHowACommandEnded()
    {
        QFETCH(QString, button);
        QFETCH(bool, portOpen);
        QFETCH(QString, bus);
        QFETCH(QString, status);
        QFETCH(QStringList, messages);
        QFETCH(QString, findings);
        SimulatedLine line(1);
        line.bus().addReader(sim::Reader{}); // at address 0
        for (const QString &habit : bus.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (habit == QLatin1String("echo"))
                line.bus().setEcho(sim::Echo::Exact);
            else if (habit == QLatin1String("other"))
                line.bus().setOtherMaster(std::chrono::milliseconds(45));
            else if (habit != QLatin1String("master"))
                line.bus().addReader(*sim::parseReaderOption(habit));
        }
        ScriptedWindowDialogs dialogs;
        dialogs.answers << QStringLiteral("9");
        MainWindow window(&dialogs);
        window.link().setReplyWindowForTesting(std::chrono::milliseconds(30));
        QVERIFY(window.port().isOpen());
        if (!portOpen)
            window.port().close();
        control<QPushButton>(window, qPrintable(button))->click();
        QCOMPARE(control<QLabel>(window, "Label2")->text(), status);
        QCOMPARE(dialogs.messages, messages);
        QCOMPARE(control<QLabel>(window, "findingsLabel")->text(), findings);
        QCOMPARE(control<QLabel>(window, "findingsLabel")->isVisibleTo(&window),
                 !findings.isEmpty());
    }

    void tabGoesThroughTheControlsInTheirOrder()
    {
        SimulatedLine line(1);
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        const QStringList order = {"Option1", "Option2",  "Option3",  "Option4",  "Option5",
                                   "Option9", "Option10", "Command1", "Command2", "List1"};
        auto *w = control<QWidget>(window, "Option1");
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
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);
        QVERIFY(control<QRadioButton>(window, "Option1")->isChecked());
        QVERIFY(control<QRadioButton>(window, "Option10")->isChecked());
        QCOMPARE(control<QListWidget>(window, "List1")->count(), 0);
        QCOMPARE(control<QLabel>(window, "Label2")->text(), QString());
        auto *replyTimer = window.findChild<ReplyTimer *>(QStringLiteral("Timer1"));
        QVERIFY(!replyTimer->isActive());
        QVERIFY(replyTimer->interval() == std::chrono::milliseconds(200));

        QVERIFY(window.port().isOpen());
        QCOMPARE(opens.opens(), 1);
        QCOMPARE(line.baudRate(), 9600);
        QVERIFY(line.isRawOneStopBit());
        QVERIFY(dialogs.messages.isEmpty());
        QVERIFY(!line.bus().waitForReceived(1, 50)); // opening sends nothing
        // Each port radio names the device behind it.
        QVERIFY(control<QRadioButton>(window, "Option1")->toolTip().startsWith(line.device()));
    }

    void speedThenPortRadiosReopenWithBothChoices()
    {
        SimulatedLine com1(1);
        SimulatedLine com3(3);
        OpenWatch opens1(com1.device());
        ScriptedWindowDialogs dialogs;
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
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs);

        control<QRadioButton>(window, "Option2")->click();
        QCOMPARE(dialogs.messages, QStringList{QStringLiteral("Invalid Com Port")});
        QVERIFY(dialogs.details.first().contains(QLatin1String("rollcall-test-no-such-device")));
        // Behind the details button: this computer's ports, and how to put one on Com 2.
        QVERIFY2(dialogs.detailedTexts.first().contains(QLatin1String("--com 2=")),
                 qPrintable(dialogs.detailedTexts.first()));
        QVERIFY(!window.port().isOpen());
        QVERIFY(control<QRadioButton>(window, "Option2")->isChecked()); // the choice stays
        QVERIFY(dialogs.detailedTexts.first().endsWith(
            "right click on a Com radio picks one of the listed ports, or another device or "
            "network address."));

        control<QRadioButton>(window, "Option1")->click();
        QVERIFY(window.port().isOpen());
        QCOMPARE(dialogs.messages.size(), 1);
        QCOMPARE(control<QLabel>(window, "Label2")->text(), QString());
    }

    // The window is up and live while a server is being connected: a click on another
    // radio opens that port at once, and the open it ended never speaks again.
    void aServerStillConnectingHoldsNothingAndAnotherRadioTakesOver()
    {
        QTcpServer silent; // takes the connection, never speaks telnet
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        SimulatedLine com2(2);
        PortMap ports;
        ports.setDevice(1, QStringLiteral("rfc2217://127.0.0.1:%1").arg(silent.serverPort()));
        ScriptedWindowDialogs dialogs;
        MainWindow window(&dialogs, ports);
        QCOMPARE(window.port().state(), Line::State::Opening);
        QCOMPARE(window.port().count(), 0); // nothing to count yet, and no failure

        control<QRadioButton>(window, "Option2")->click();
        QVERIFY(window.port().isOpen());
        QCOMPARE(window.port().device(), com2.device());
        // Past the time the server had to speak telnet.
        QTest::qWait(int(Rfc2217Session::SettingsTimeout.count()) + 300);
        QVERIFY(window.port().isOpen());
        QVERIFY(dialogs.messages.isEmpty());
        QCOMPARE(control<QLabel>(window, "Label2")->text(), QString());
    }

    void aRadioClickKeepsTheLastCommandsResult()
    {
        SimulatedLine com1(1);
        ScriptedWindowDialogs dialogs;
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
        ScriptedWindowDialogs dialogs;
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

    // Opened by a right click (key 0) or a key; the arrow keys choose the second line (entry
    // 1) or "Other…" (2), whose dialog gets `typed` (PTY: the second line) or is cancelled.
    void aComRadiosMenuPutsAnotherDeviceBehindIt_data()
    {
        QTest::addColumn<int>("radio");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("entry");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<bool>("changes");
        const int menuKey = Qt::Key_Menu;
        QTest::newRow("listed, selected") << 1 << 0 << 1 << QStringList() << true;
        QTest::newRow("listed, not selected") << 2 << menuKey << 1 << QStringList() << true;
        QTest::newRow("other, pty, scan")
            << 1 << int(Qt::Key_F10) << 2 << QStringList{"PTY"} << true;
        QTest::newRow("other, malformed") << 1 << 0 << 2 << QStringList{"socket://x"} << false;
        QTest::newRow("other, emptied") << 1 << menuKey << 2 << QStringList{""} << false;
        QTest::newRow("other, cancelled") << 1 << 0 << 2 << QStringList() << false;
    }

    void aComRadiosMenuPutsAnotherDeviceBehindIt()
    {
        QFETCH(int, radio);
        QFETCH(int, key);
        QFETCH(int, entry);
        QFETCH(QStringList, typed);
        QFETCH(bool, changes);
        SimulatedLine first(1);
        SimulatedLine second(5);
        second.bus().addReader({7});
        OpenWatch opensOfFirst(first.device());
        ScriptedWindowDialogs dialogs;
        dialogs.answers = typed.replaceInStrings(QStringLiteral("PTY"), second.device());
        MainWindow window(&dialogs);
        window.link().setReplyWindowForTesting(std::chrono::milliseconds(25));
        window.setPortsForMenu([&] {
            return QList<SerialPortEntry>{{first.device(), "rollcall-sim", "", ""},
                                          {second.device(), "", "", ""}};
        });
        window.show();
        auto *button =
            control<QRadioButton>(window, qPrintable(QStringLiteral("Option%1").arg(radio)));
        if (key == 0)
            QTest::mouseClick(window.windowHandle(), Qt::RightButton, {},
                              button->mapTo(&window, button->rect().center()));
        else
            QTest::keyClick(button, Qt::Key(key),
                            key == Qt::Key_F10 ? Qt::ShiftModifier : Qt::NoModifier);
        auto *menu = window.findChild<PortMenu *>();
        QVERIFY(menu->isVisible());
        QCOMPARE(QAccessible::queryAccessibleInterface(menu)->text(QAccessible::Name),
                 QStringLiteral("Device of Com %1").arg(radio));
        QCOMPARE(menu->actions().first()->text(), first.device() + " (rollcall-sim)");
        QCOMPARE(menu->actions().first()->isChecked(), radio == 1); // what the radio stands for
        for (int down = 0; down <= entry; ++down)
            QTest::keyClick(menu, Qt::Key_Down);
        QTest::keyClick(menu, Qt::Key_Return);
        const QString now = changes ? second.device() : first.device();
        QCOMPARE(button->toolTip().section('\n', 0, 0), now);
        QCOMPARE(dialogs.prefilled, entry == 2 ? QStringList{first.device()} : QStringList());
        const QStringList refusal{"Not a device or network address"};
        QCOMPARE(dialogs.messages, !typed.isEmpty() && !changes ? refusal : QStringList());
        QVERIFY(window.port().isOpen());
        QCOMPARE(window.port().device(), radio == 1 ? now : first.device());
        QCOMPARE(opensOfFirst.closes(), radio == 1 && changes ? 1 : 0);
        if (entry == 2 && changes) {
            control<QPushButton>(window, "Command2")->click();
            QCOMPARE(listed(window), QStringList{"Address 007"});
        }
    }

    // One whole scan at the real 200 ms reply window, with the operator clicking around.
    void aRealScanListsTheReadersRefusesASecondCommandAndFollowsASpeedChange()
    {
        SimulatedLine line(1);
        sim::Reader early;
        sim::Reader late;
        early.address = 3;
        late.address = 50;
        line.bus().addReader(early);
        line.bus().addReader(late);
        ScriptedWindowDialogs dialogs;
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

        qint64 shortest = std::numeric_limits<qint64>::max();
        qint64 longest = 0;
        for (const QList<QVariant> &w : windows) {
            shortest = std::min(shortest, w.at(1).toLongLong());
            longest = std::max(longest, w.at(1).toLongLong());
        }
        QCOMPARE(windows.count(), 127);
        QVERIFY(shortest >= 200'000'000);
        qInfo("scan of 127 addresses: %lld ms; reply windows %.3f .. %.3f ms", scanMs,
              static_cast<double>(shortest) / 1e6, static_cast<double>(longest) / 1e6);
    }

    // The window here lives on the heap and deletes itself on close, as a main() may
    // well have it: it must outlive the scan running inside it, then go.
    void closingTheWindowMidScanStopsTheTrafficAtOnceAndTheWindowGoesAfterwards()
    {
        SimulatedLine line(1);
        ScriptedWindowDialogs dialogs;
        QPointer<MainWindow> window = new MainWindow(&dialogs);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->link().setReplyWindowForTesting(std::chrono::milliseconds(60));
        whenStatusReads(*window, QStringLiteral("Checking Address 005"), [&] { window->close(); });
        QElapsedTimer took;
        took.start();
        control<QPushButton>(*window, "Command2")->click();
        QVERIFY(took.elapsed() < 127LL * 60);
        QVERIFY(window);
        QVERIFY(!window->port().isOpen());
        QTRY_VERIFY(!window);
        QTest::qWait(150);
        QCOMPARE(line.bus().received().toHex(' '), scanTraffic(0, 5).toHex(' '));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
