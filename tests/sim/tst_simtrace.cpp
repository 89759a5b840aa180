#include "sim/trace.h"

#include <QTest>

namespace {

constexpr qint64 Ms = 1'000'000;

sim::TraceEntry from(qint64 ns, quint8 byte)
{
    return sim::TraceEntry{ns, sim::TraceEntry::FromProgram, byte};
}

sim::TraceEntry to(qint64 ns, quint8 byte)
{
    return sim::TraceEntry{ns, sim::TraceEntry::ToProgram, byte};
}

} // namespace

class TestSimTrace : public QObject
{
    Q_OBJECT

private slots:
    void formatsOneLine();
    void emptyTraceIsEmpty();
    void groupsBurstsByDirectionAndGap();
    void splitsLongBursts();
    void liveFormattingWaitsForBurstToEnd();
};

void TestSimTrace::formatsOneLine()
{
    QCOMPARE(sim::TraceFormatter::formatLine(12'345'678, sim::TraceEntry::FromProgram,
                                             QByteArray("\x06\x83\x02\x3F\x03", 5)),
             QStringLiteral("    12.346 > 06 83 02 3F 03"));
    QCOMPARE(sim::TraceFormatter::formatLine(1'500 * Ms, sim::TraceEntry::ToProgram,
                                             QByteArray("\xAB", 1)),
             QStringLiteral("  1500.000 < AB"));
}

void TestSimTrace::emptyTraceIsEmpty()
{
    QCOMPARE(sim::formatTrace({}), QString());
}

void TestSimTrace::groupsBurstsByDirectionAndGap()
{
    const QList<sim::TraceEntry> entries = {
        from(1 * Ms, 0x06),         from(1 * Ms + 200, 0x85), from(1 * Ms + 400, 0x02),
        from(1 * Ms + 600, 0x3F),   from(1 * Ms + 800, 0x03), // one write
        to(4 * Ms, 0x02),           to(4 * Ms, 0x4F),         // direction change
        to(4 * Ms + 900'000, 0x4B),                           // within the gap
        to(6 * Ms, 0x03),                                     // after the gap
    };
    QCOMPARE(sim::formatTrace(entries), QStringLiteral("     1.000 > 06 85 02 3F 03\n"
                                                       "     4.000 < 02 4F 4B\n"
                                                       "     6.000 < 03\n"));
}

void TestSimTrace::splitsLongBursts()
{
    QList<sim::TraceEntry> entries;
    for (int i = 0; i < sim::TraceFormatter::MaxBytesPerLine + 3; ++i)
        entries.append(to(2 * Ms, quint8(i)));
    const QStringList lines = sim::formatTrace(entries).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3); // two lines and the empty tail after the last '\n'
    QStringList firstLineBytes;
    for (int i = 0; i < sim::TraceFormatter::MaxBytesPerLine; ++i)
        firstLineBytes.append(QStringLiteral("%1").arg(i, 2, 16, QLatin1Char('0')).toUpper());
    QCOMPARE(lines[0], QStringLiteral("     2.000 < ") + firstLineBytes.join(QLatin1Char(' ')));
    QCOMPARE(lines[1], QStringLiteral("     2.000 < 20 21 22"));
    QVERIFY(lines[2].isEmpty());
}

void TestSimTrace::liveFormattingWaitsForBurstToEnd()
{
    sim::TraceFormatter formatter;
    formatter.add(from(10 * Ms, 0x06));
    formatter.add(from(10 * Ms, 0x81));
    formatter.closeBurstIfQuiet(10 * Ms + 500'000); // still within the gap
    QVERIFY(formatter.takeLines().isEmpty());

    formatter.add(from(11 * Ms, 0x02));
    formatter.closeBurstIfQuiet(13 * Ms);
    QCOMPARE(formatter.takeLines(), QStringList({QStringLiteral("    10.000 > 06 81 02")}));
    QVERIFY(formatter.takeLines().isEmpty()); // taken once

    formatter.add(to(20 * Ms, 0x15));
    formatter.closeBurst();
    formatter.closeBurst(); // nothing open: no empty line
    QCOMPARE(formatter.takeLines(), QStringList({QStringLiteral("    20.000 < 15")}));
}

QTEST_GUILESS_MAIN(TestSimTrace)
#include "tst_simtrace.moc"
