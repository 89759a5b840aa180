#include "bus/frames.h"
#include "commands/addressassignment.h"
#include "tests/support/linefixture.h"
#include "tests/support/scripteddialogs.h"

#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int QuickWindowMs = 60;

const QByteArray PollOfZero = QByteArray::fromHex("0680023F03");
const QByteArray Ack = QByteArray::fromHex("06");

// What the line carried once the expected bytes are in and a moment passed for more.
QByteArray settled(sim::ReaderBus &bus, int expectedBytes)
{
    bus.waitForReceived(expectedBytes, 2000);
    QTest::qWait(50);
    return bus.received();
}

struct Assignment
{
    explicit Assignment(std::initializer_list<int> readers) : f(QuickWindowMs)
    {
        f.addReaders(readers);
    }
    QStringList statuses() const
    {
        QStringList out;
        for (const QList<QVariant> &args : status)
            out << args.at(0).toString();
        return out;
    }

    LineFixture f;
    ScriptedDialogs dialogs;
    AddressAssignment command{f.link, dialogs};
    QSignalSpy status{&command, &AddressAssignment::statusChanged};
    QSignalSpy changed{&command, &AddressAssignment::changed};
    QSignalSpy stopped{&command, &AddressAssignment::stopped};
};

} // namespace

class TestAddressAssignment : public QObject
{
    Q_OBJECT
private slots:
    void entryFiveWithNobodyThereSendsTheFrameAndSaysSoAtOnce()
    {
        Assignment a({0});
        a.dialogs.answers << QStringLiteral("5");
        QSignalSpy windows(&a.f.link, &ReaderLink::replyWindowMeasured);
        int windowsWhenDone = -1;
        connect(&a.command, &AddressAssignment::changed, &a.command,
                [&] { windowsWhenDone = int(windows.count()); });
        QCOMPARE(a.command.run(), AddressAssignment::Outcome::Changed);

        QCOMPARE(a.dialogs.prompts, QStringList{QStringLiteral("Enter New Address")});
        QVERIFY(a.dialogs.messages.isEmpty()); // the front end words the change
        QCOMPARE(a.changed.count(), 1);
        QCOMPARE(a.changed.at(0).at(0).toInt(), 5);
        QCOMPARE(windowsWhenDone, 2); // no reply awaited after the set-address frame
        QVERIFY(a.f.bus().waitForReceived(21, 2000));
        QCOMPARE(hex(a.f.bus().received()),
                 hex(PollOfZero + Ack + QByteArray::fromHex("0685023F03") +
                     QByteArray::fromHex("06800200494130303503")));
        QCOMPARE(a.statuses(), QStringList{QString()});
        QCOMPARE(a.f.bus().readerAddresses(), QList<int>{5}); // the reader took it
    }

    void acceptedEntriesSendTheirValueAsThreeDigits_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QByteArray>("digits");
        QTest::newRow("126") << "126" << QByteArray("126");
        QTest::newRow("007") << "007" << QByteArray("007");
        QTest::newRow("1") << "1" << QByteArray("001");
        QTest::newRow("0000000000007") << "0000000000007" << QByteArray("007");
    }
    void acceptedEntriesSendTheirValueAsThreeDigits()
    {
        QFETCH(QString, entry);
        QFETCH(QByteArray, digits);
        Assignment a({0});
        a.dialogs.answers << entry;
        a.command.run();
        QVERIFY(a.f.bus().waitForReceived(21, 2000));
        QCOMPARE(hex(a.f.bus().received().right(9)),
                 hex(QByteArray::fromHex("8002004941") + digits + QByteArray("\x03", 1)));
    }

    void refusedEntriesSayInvalidAddressAndSendNothingMore_data()
    {
        QTest::addColumn<QString>("entry");
        for (const char *e :
             {"127", "0", "000", "-5", "5a", "1.5", " 5", "5 ", "+5", "99999999999999999999"})
            QTest::newRow(e) << QString::fromLatin1(e);
        QTest::newRow("arabic-indic five") << QStringLiteral("\u0665");
    }
    void refusedEntriesSayInvalidAddressAndSendNothingMore()
    {
        QFETCH(QString, entry);
        Assignment a({0});
        a.dialogs.answers << entry;
        a.command.run();
        QCOMPARE(a.dialogs.messages, QStringList{QStringLiteral("Invalid address")});
        const QByteArray expected = PollOfZero + Ack;
        QCOMPARE(hex(settled(a.f.bus(), expected.size())), hex(expected));
        QCOMPARE(a.f.bus().readerAddresses(), QList<int>{0});
    }

    void nobodyAtZeroSaysSoWithoutADialog()
    {
        Assignment a({5});
        a.command.run();
        QCOMPARE(a.statuses(), QStringList({QString(), "Reader Address 0 is not online"}));
        QVERIFY(a.dialogs.prompts.isEmpty());
        QVERIFY(a.dialogs.messages.isEmpty());
        const QByteArray expected = PollOfZero;
        QCOMPARE(hex(settled(a.f.bus(), expected.size())), hex(expected));
    }

    void cancellingSendsNothingAfterTheAcknowledgement()
    {
        Assignment a({0});
        a.command.run(); // no answers: the dialog is cancelled
        QCOMPARE(a.dialogs.prompts.size(), 1);
        QVERIFY(a.dialogs.messages.isEmpty());
        QCOMPARE(a.statuses(), QStringList{QString()});
        const QByteArray expected = PollOfZero + Ack;
        QCOMPARE(hex(settled(a.f.bus(), expected.size())), hex(expected));
    }

    void aTakenAddressIsRefusedAndTheReaderKeepsItsAddress()
    {
        Assignment a({0, 5});
        a.dialogs.answers << QStringLiteral("5");
        a.command.run();
        QCOMPARE(a.dialogs.messages, QStringList{QStringLiteral("Address already being used")});
        QVERIFY(a.changed.isEmpty());
        const QByteArray expected = PollOfZero + Ack + QByteArray::fromHex("0685023F03") + Ack;
        QCOMPARE(hex(settled(a.f.bus(), expected.size())), hex(expected));
        QCOMPARE(a.f.bus().readerAddresses(), QList<int>({0, 5}));
    }

    void aPortLostWhileTheDialogIsOpenEndsTheCommandWithAStatus()
    {
        Assignment a({0});
        a.dialogs.answers << QStringLiteral("7");
        QSignalSpy lost(&a.f.port, &Line::lost);
        a.dialogs.whileAsking = [&] {
            a.f.bus().unplug();
            QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 2000);
        };
        a.command.run();
        QVERIFY(a.dialogs.messages.isEmpty());
        QCOMPARE(a.stopped.count(), 1);
        QCOMPARE(a.stopped.at(0).at(0).value<StopReason>().line.kind, PortProblem::Kind::Unplugged);
        QVERIFY(a.changed.isEmpty());
        QVERIFY(!a.f.port.isOpen());
        QCOMPARE(hex(a.f.bus().received()), hex(PollOfZero + Ack));
    }

    void aClosedPortEndsTheCommandBeforeSendingAnything()
    {
        Assignment a({0});
        a.f.port.close();
        a.command.run();
        QCOMPARE(a.stopped.count(), 1);
        QCOMPARE(a.stopped.at(0).at(0).value<StopReason>().line.kind, PortProblem::Kind::None);
        QVERIFY(a.dialogs.prompts.isEmpty());
        QVERIFY(!a.f.bus().waitForReceived(1, 100));
    }
};

QTEST_GUILESS_MAIN(TestAddressAssignment)
#include "tst_addressassignment.moc"
