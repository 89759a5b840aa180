#include "tests/sim/pcside.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString Program = QStringLiteral(ROLLCALL_SIM_PROGRAM);

// Reads stdout lines until one starts with `prefix`; returns the rest of that line.
QString waitForLine(QProcess &process, const QString &prefix, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        while (process.canReadLine()) {
            const QString line = QString::fromLocal8Bit(process.readLine()).trimmed();
            if (line.startsWith(prefix))
                return line.mid(prefix.size()).trimmed();
        }
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return QString();
}

} // namespace

class TestSimProgram : public QObject
{
    Q_OBJECT

private slots:
    void servesPublishesTracesAndCleansUp_data();
    void servesPublishesTracesAndCleansUp();
    void exitsAfterDuration();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void printsTheVersionOfTheBuild();
};

void TestSimProgram::servesPublishesTracesAndCleansUp_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void TestSimProgram::servesPublishesTracesAndCleansUp()
{
    QFETCH(int, signalNumber);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("ttySIM0"));

    QProcess process;
    process.start(Program, {QStringLiteral("--reader"), QStringLiteral("3"),
                            QStringLiteral("--reader"), QStringLiteral("4:silent"),
                            QStringLiteral("--link"), link, QStringLiteral("--trace")});
    QVERIFY(process.waitForStarted());

    const QString slave = waitForLine(process, QStringLiteral("slave:"));
    QVERIFY(!slave.isEmpty());
    QCOMPARE(waitForLine(process, QStringLiteral("link:")), link);
    QCOMPARE(QFileInfo(link).symLinkTarget(), slave);

    PcSide pc(link);
    QVERIFY(pc.isOpen());
    QVERIFY(pc.write(ack() + pollFrame(3)));
    QCOMPARE(pc.read(4, 2000), QByteArray("\x02OK\x03"));
    QVERIFY(pc.write(ack() + pollFrame(4)));
    QCOMPARE(pc.readFor(300), QByteArray());

    // The monitor shows the exchange as it happens, before the program exits.
    QVERIFY(waitForLine(process, QString()).contains(QLatin1String("> 06 83 02 3F 03")));
    QVERIFY(waitForLine(process, QString()).contains(QLatin1String("< 02 4F 4B 03")));
    QVERIFY(waitForLine(process, QString()).contains(QLatin1String("> 06 84 02 3F 03")));

    ::kill(pid_t(process.processId()), signalNumber);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestSimProgram::exitsAfterDuration()
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(Program, {QStringLiteral("--reader"), QStringLiteral("0"),
                            QStringLiteral("--duration"), QStringLiteral("0.3")});
    QVERIFY(!waitForLine(process, QStringLiteral("slave:")).isEmpty());
    QVERIFY(process.waitForFinished(10000));
    QVERIFY(clock.elapsed() >= 250);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

void TestSimProgram::rejectsBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("address too high")
        << QStringList{QStringLiteral("--reader"), QStringLiteral("200")};
    QTest::newRow("unknown fault")
        << QStringList{QStringLiteral("--reader"), QStringLiteral("5:bogus")};
    QTest::newRow("bad duration") << QStringList{QStringLiteral("--duration"),
                                                 QStringLiteral("soon")};
    QTest::newRow("other master of no period")
        << QStringList{QStringLiteral("--other-master"), QStringLiteral("0")};
    QTest::newRow("stray argument") << QStringList{QStringLiteral("extra")};
}

void TestSimProgram::rejectsBadArguments()
{
    QFETCH(QStringList, arguments);
    QProcess process;
    process.start(Program, arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!process.readAllStandardError().isEmpty());
    QVERIFY(!process.readAllStandardOutput().contains("slave:"));
}

void TestSimProgram::printsTheVersionOfTheBuild()
{
    QProcess process;
    process.start(Program, {QStringLiteral("--version")});
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()),
             QStringLiteral("rollcall-sim " ROLLCALL_VERSION "\n"));
}

QTEST_GUILESS_MAIN(TestSimProgram)
#include "tst_simprogram.moc"
