#include "bus/replytimer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <thread>

using namespace std::chrono_literals;

class TestReplyTimer : public QObject
{
    Q_OBJECT
private slots:
    void itFiresOnceAndNeverEarly()
    {
        ReplyTimer timer;
        timer.setInterval(30ms);
        QSignalSpy fired(&timer, &ReplyTimer::timeout);
        QElapsedTimer since;
        since.start();
        timer.start();
        QVERIFY(timer.isActive());
        QVERIFY(fired.wait(2000));
        QVERIFY2(since.nsecsElapsed() >= 30'000'000,
                 qPrintable(QString::number(since.nsecsElapsed())));
        QVERIFY(!timer.isActive());
        QTest::qWait(80);
        QCOMPARE(fired.count(), 1);
    }

    // An expiry nobody handled yet belongs to the old window, not to the next one.
    void anExpiryLeftOverFromAStoppedOrRestartedWindowDoesNotEndTheNext()
    {
        ReplyTimer timer;
        QSignalSpy fired(&timer, &ReplyTimer::timeout);
        timer.setInterval(1ms);
        timer.start();
        std::this_thread::sleep_for(5ms); // expired, but the event loop has not run
        timer.stop();
        QTest::qWait(30);
        QCOMPARE(fired.count(), 0);

        timer.start();
        std::this_thread::sleep_for(5ms);
        timer.setInterval(60ms);
        QElapsedTimer since;
        since.start();
        timer.start();
        QVERIFY(fired.wait(2000));
        QCOMPARE(fired.count(), 1);
        QVERIFY2(since.nsecsElapsed() >= 60'000'000,
                 qPrintable(QString::number(since.nsecsElapsed())));
    }

    // A timer that comes before its time (Windows' can) leaves the window running for
    // the rest. Brought about by the timer's own signal, where the timer is Qt's.
    void aTimerThatComesEarlyDoesNotEndTheWindowShort()
    {
        ReplyTimer timer;
        auto *early = timer.findChild<QTimer *>();
        if (!early)
            QSKIP("this build's reply timer is a timerfd");
        timer.setInterval(60ms);
        QSignalSpy fired(&timer, &ReplyTimer::timeout);
        QElapsedTimer since;
        since.start();
        timer.start();
        QTest::qWait(20);
        QVERIFY(QMetaObject::invokeMethod(early, "timeout"));
        QCOMPARE(fired.count(), 0);
        QVERIFY(timer.isActive());
        QVERIFY(fired.wait(2000));
        QVERIFY2(since.nsecsElapsed() >= 60'000'000,
                 qPrintable(QString::number(since.nsecsElapsed())));
        QCOMPARE(fired.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestReplyTimer)
#include "tst_replytimer.moc"
