#include "bus/frames.h"
#include "tests/support/linefixture.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

class TestReaderLink : public QObject
{
    Q_OBJECT
private slots:
    void aPollDiscardsThenSendsTheLoneAckThenTheFrame_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("0") << 0 << QByteArray::fromHex("0680023F03");
        QTest::newRow("5") << 5 << QByteArray::fromHex("0685023F03");
        QTest::newRow("126") << 126 << QByteArray::fromHex("06FE023F03");
    }
    void aPollDiscardsThenSendsTheLoneAckThenTheFrame()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, line);
        LineFixture f(50);
        f.bus().injectNoise("stale"); // left over from an earlier reply
        QTRY_COMPARE_WITH_TIMEOUT(f.port.count(), qint64(5), 2000);
        QCOMPARE(f.link.poll(address), ReaderLink::Poll::Absent);
        QCOMPARE(hex(f.bus().received()), hex(line));
    }

    void presenceNeedsMoreThanOneByteWhateverTheirValues_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("present");
        QTest::newRow("nothing") << QByteArray() << false;
        QTest::newRow("one STX") << QByteArray("\x02", 1) << false;
        QTest::newRow("one ACK") << QByteArray("\x06", 1) << false;
        QTest::newRow("two bytes") << QByteArray("\x02\x03", 2) << true;
        QTest::newRow("two odd bytes") << QByteArray("\x15\x03", 2) << true;
        QTest::newRow("a long reply") << QByteArray(40, 'x') << true;
    }
    void presenceNeedsMoreThanOneByteWhateverTheirValues()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, present);
        LineFixture f(200);
        if (!reply.isEmpty()) {
            sim::Reader reader;
            reader.address = 9;
            reader.reply = reply;
            f.bus().addReader(reader);
        }
        const ReaderLink::Poll expected =
            present ? ReaderLink::Poll::Present : ReaderLink::Poll::Absent;
        QCOMPARE(f.link.poll(9), expected);
    }

    void aReplyAfterTheWindowIsAbsentAndDiscardedByTheNextPoll()
    {
        LineFixture f(200);
        sim::Reader late;
        late.address = 3;
        late.fault = sim::Fault::Late;
        f.bus().addReader(late);
        QCOMPARE(f.link.poll(3), ReaderLink::Poll::Absent);
        QTest::qWait(150); // the late reply lands now, between two polls
        QVERIFY(f.port.count() >= 2);
        QCOMPARE(f.link.poll(4), ReaderLink::Poll::Absent);
    }

    void everyReplyWindowLastsAtLeast200ms()
    {
        LineFixture f(200);
        f.addReaders({1});
        QSignalSpy windows(&f.link, &ReaderLink::replyWindowMeasured);
        for (int address = 0; address < 10; ++address)
            f.link.poll(address);
        QCOMPARE(windows.count(), 10);
        qint64 shortest = std::numeric_limits<qint64>::max();
        for (const QList<QVariant> &w : windows)
            shortest = std::min(shortest, w.at(1).toLongLong());
        QVERIFY2(shortest >= 200'000'000,
                 qPrintable(QStringLiteral("shortest window %1 ns").arg(shortest)));
    }

    // A window the operator shortened: the late reply of one poll must not make the next
    // address answer when it is polled alone, and the reader is found alone at its own.
    void aPollAloneWaitsOutEarlierPollsAndGivesTheFullWindow()
    {
        LineFixture f(200);
        f.link.setReplyWindow(20ms);
        sim::Reader slow;
        slow.address = 3;
        slow.delay = 120ms;
        f.bus().addReader(slow);
        QCOMPARE(f.link.poll(3), ReaderLink::Poll::Absent);
        QCOMPARE(f.link.pollAlone(4), ReaderLink::Poll::Absent);
        QVERIFY(f.link.takeLateBytesAt().has_value()); // the reply to 3, while waiting
        QVERIFY(!f.link.takeLateBytesAt().has_value());
        QCOMPARE(f.link.pollAlone(3), ReaderLink::Poll::Present);
        // From before the frame was written: never quicker than the reader.
        QVERIFY2(f.link.lastFirstByteNs() >= 120'000'000,
                 qPrintable(QString::number(f.link.lastFirstByteNs())));
        QCOMPARE(f.link.replyWindow(), 20ms);
        QCOMPARE(hex(f.bus().received()), hex(scanTraffic(3, 4) + scanTraffic(3, 3)));
    }

    void acknowledgeDiscardsSendsAckAndDiscardsAgain()
    {
        LineFixture f(50);
        f.addReaders({0});
        QCOMPARE(f.link.poll(0), ReaderLink::Poll::Present);
        QVERIFY(f.link.acknowledge());
        QCOMPARE(f.port.count(), qint64(0));
        QVERIFY(f.bus().waitForReceived(6, 2000));
        QCOMPARE(hex(f.bus().received()), hex(QByteArray::fromHex("0680023F03"
                                                                  "06")));
    }

    void theSetAddressFrameFollowsItsOwnAckAndNothingIsAwaited()
    {
        LineFixture f(200);
        QCOMPARE(f.link.poll(7), ReaderLink::Poll::Absent); // the line listened to first
        f.bus().clearTrace();
        QElapsedTimer took;
        took.start();
        QVERIFY(f.link.sendSetAddress(7));
        QVERIFY(took.elapsed() < 150); // no reply window
        QVERIFY(f.bus().waitForReceived(10, 2000));
        QCOMPARE(hex(f.bus().received()), hex(QByteArray::fromHex("06800200494130303703")));
    }

    void aPulledAdapterEndsTheWaitAtOnce()
    {
        LineFixture f(5000);
        QTimer::singleShot(100, [&] { f.bus().unplug(); });
        QElapsedTimer took;
        took.start();
        QCOMPARE(f.link.poll(0), ReaderLink::Poll::Stopped);
        QVERIFY2(took.elapsed() < 3000, "the wait went on after the line went down");
        QVERIFY(!f.link.acknowledge());
        QVERIFY(!f.link.sendSetAddress(7));
    }

    void afterAnAbortNothingMoreIsSent()
    {
        LineFixture f(5000);
        QTimer::singleShot(100, [&] { f.link.abort(); });
        QCOMPARE(f.link.poll(0), ReaderLink::Poll::Stopped);
        const int sentBefore = int(f.bus().received().size());
        QCOMPARE(f.link.poll(1), ReaderLink::Poll::Stopped);
        QVERIFY(!f.link.acknowledge());
        QTest::qWait(50);
        QCOMPARE(f.bus().received().size(), sentBefore);
    }
};

QTEST_GUILESS_MAIN(TestReaderLink)
#include "tst_readerlink.moc"
