#include "system/stoprequest.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

namespace {

bool hasDefaultHandling(int signalNumber)
{
    struct sigaction current = {};
    return ::sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_DFL;
}

QList<int> statusesOf(const QSignalSpy &spy)
{
    QList<int> statuses;
    for (const QList<QVariant> &arguments : spy)
        statuses << arguments.constFirst().toInt();
    return statuses;
}

} // namespace

// Real signals to this process: one that is not taken over ends the test run.
class TestStopRequest : public QObject
{
    Q_OBJECT
private slots:
    void eachSignalIsOneStopWithItsStatus_data()
    {
        QTest::addColumn<QList<int>>("requests");
        QTest::addColumn<QList<int>>("statuses");
        QTest::newRow("Ctrl+C") << QList<int>{SIGINT} << QList<int>{130};
        QTest::newRow("SIGTERM") << QList<int>{SIGTERM} << QList<int>{143};
        QTest::newRow("several before the loop runs, in order")
            << QList<int>{SIGTERM, SIGINT, SIGINT} << QList<int>{143, 130, 130};
    }

    void eachSignalIsOneStopWithItsStatus()
    {
        QFETCH(QList<int>, requests);
        QFETCH(QList<int>, statuses);
        {
            StopRequest stop;
            QVERIFY(stop.isWatching());
            QSignalSpy stopped(&stop, &StopRequest::stopRequested);
            for (int signalNumber : requests)
                QCOMPARE(::raise(signalNumber), 0);
            QCOMPARE(stopped.count(), 0); // delivered in the event loop, not in the handler
            QTRY_COMPARE(statusesOf(stopped), statuses);
        }
        QVERIFY(hasDefaultHandling(SIGINT));
        QVERIFY(hasDefaultHandling(SIGTERM));
    }

    // A second one neither takes the signals nor, going away, leaves the first deaf.
    void aSecondOneAtTheSameTimeLeavesTheFirstInCharge()
    {
        StopRequest first;
        QSignalSpy stopped(&first, &StopRequest::stopRequested);
        {
            const StopRequest second;
            QVERIFY(!second.isWatching());
            QCOMPARE(::raise(SIGINT), 0);
            QTRY_COMPARE(statusesOf(stopped), QList<int>{130});
        }
        QVERIFY(!hasDefaultHandling(SIGTERM));
        QCOMPARE(::raise(SIGTERM), 0);
        QTRY_COMPARE(statusesOf(stopped), (QList<int>{130, 143}));
    }
};

QTEST_GUILESS_MAIN(TestStopRequest)
#include "tst_stoprequest.moc"
