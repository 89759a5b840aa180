#include "commands/firstbytetimes.h"

#include <QTest>

using namespace std::chrono_literals;

// Counted per 0.1 ms: the median is that close, min and max are exact, and a time past
// the window still counts.
class TestFirstByteTimes : public QObject
{
    Q_OBJECT
private slots:
    void minMedianMax_data()
    {
        QTest::addColumn<QList<qint64>>("nanoseconds");
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("median");
        QTest::addColumn<double>("max");
        QTest::newRow("none") << QList<qint64>() << 0.0 << 0.0 << 0.0;
        QTest::newRow("one") << QList<qint64>{8'437'000} << 8.437 << 8.437 << 8.437;
        QTest::newRow("odd count, unsorted")
            << QList<qint64>{19'000'000, 3'210'000, 7'050'000} << 3.21 << 7.05 << 19.0;
        QTest::newRow("even count: the lower one")
            << QList<qint64>{3'000'000, 3'000'000, 12'000'000, 12'000'000} << 3.0 << 3.05 << 12.0;
        QTest::newRow("skewed") << QList<qint64>{1'000'000, 1'020'000, 1'040'000, 1'060'000,
                                                 150'000'000}
                                << 1.0 << 1.05 << 150.0;
        QTest::newRow("past the window")
            << QList<qint64>{20'400'000, 20'300'000, 5'000'000} << 5.0 << 20.05 << 20.4;
    }
    void minMedianMax()
    {
        QFETCH(QList<qint64>, nanoseconds);
        QFETCH(double, min);
        QFETCH(double, median);
        QFETCH(double, max);
        FirstByteTimes times(20ms);
        for (qint64 ns : nanoseconds)
            times.add(ns);
        QCOMPARE(times.count(), nanoseconds.size());
        QCOMPARE(times.minMs(), min);
        QCOMPARE(times.medianMs(), median);
        QCOMPARE(times.maxMs(), max);
    }
};

QTEST_GUILESS_MAIN(TestFirstByteTimes)
#include "tst_firstbytetimes.moc"
