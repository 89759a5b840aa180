#include "line/line.h"
#include "line/portproblem.h"
#include "tests/support/openwatch.h"
#include "tests/support/simulatedline.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

PortProblem openOn(const QString &device)
{
    PortMap ports;
    ports.setDevice(1, device);
    Line line(ports);
    if (line.open())
        return PortProblem();
    return line.problem();
}

// What rollcall-openport printed: kind, summary, details.
struct HelperRun
{
    bool finished = false;
    QStringList lines;
};

// Runs the helper on `device`, as `nobody` when we are root. The helper is copied where
// that user may execute it; the build tree may sit below a folder closed to others.
// A helper still running after 5 s is killed: whatever it hangs on, the test goes on.
HelperRun runHelper(const QString &device)
{
    HelperRun run;
    QTemporaryDir dir;
    const QString helper = dir.filePath(QStringLiteral("rollcall-openport"));
    if (!dir.isValid() || !QFile::copy(QStringLiteral(ROLLCALL_OPENPORT), helper) ||
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755) != 0)
        return run;
    QProcess process;
    process.setWorkingDirectory(dir.path());
    if (::geteuid() == 0)
        process.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                       QStringLiteral("--clear-groups"), helper, device});
    else
        process.start(helper, {device});
    run.finished = process.waitForFinished(5000);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.lines = QString::fromLocal8Bit(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    return run;
}

QString kindName(PortProblem::Kind kind)
{
    return QString::fromLatin1(QMetaEnum::fromType<PortProblem::Kind>().valueToKey(int(kind)));
}

} // namespace

class TestPortProblems : public QObject
{
    Q_OBJECT
private slots:
    void aDeviceTheUserMayNotOpenNamesTheDialoutGroupAndStaysSilent()
    {
        if (::geteuid() == 0 && QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QFAIL("running as root needs setpriv (util-linux) to try the device as nobody");
        SimulatedLine line(1);
        const QString slave = line.bus().slavePath();
        // Closed to everyone but root, so also to the owner when we are not root.
        QVERIFY(::chmod(QFile::encodeName(slave).constData(), 0) == 0);

        const HelperRun run = runHelper(slave);
        QVERIFY(run.finished);
        QVERIFY2(run.lines.size() >= 3, qPrintable(run.lines.join(QLatin1Char('\n'))));
        QCOMPARE(run.lines[0], kindName(PortProblem::Kind::NoPermission));
        QCOMPARE(run.lines[1], QStringLiteral("no permission for %1").arg(slave));
        const QString details = run.lines.mid(2).join(QLatin1Char('\n'));
        QVERIFY2(details.contains(QLatin1String("dialout")), qPrintable(details));
        QVERIFY(!line.bus().waitForReceived(1, 200));
    }

    void aRegularFileIsRefusedWithoutBeingOpened()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("notaport"));
        const QByteArray bytes("ATZ\r\n");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        QVERIFY(file.flush());
        // A time stamp in the past, so a touch within this second would still show.
        const QDateTime stamp = QDateTime::currentDateTime().addDays(-3);
        QVERIFY(file.setFileTime(stamp, QFileDevice::FileModificationTime));
        file.close();
        const QDateTime before = QFileInfo(path).lastModified();
        OpenWatch watch(path);

        const PortProblem problem = openOn(path);
        QCOMPARE(problem.kind, PortProblem::Kind::NotSerialDevice);
        QVERIFY2(problem.summary().contains(QLatin1String("not a serial device")),
                 qPrintable(problem.summary()));
        QCOMPARE(watch.opens(), 0);
        QCOMPARE(QFileInfo(path).lastModified(), before);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes);
    }

    void aFifoWithoutAReaderIsRefusedWithoutBlocking()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        // Open to anyone, so only the check of what it is can keep the helper out.
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0666) == 0);
        QVERIFY(::chmod(QFile::encodeName(fifo).constData(), 0666) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        OpenWatch watch(fifo);

        const HelperRun run = runHelper(fifo);
        QVERIFY2(run.finished, "opening a FIFO hung");
        QCOMPARE(run.lines.value(0), kindName(PortProblem::Kind::NotSerialDevice));
        QVERIFY2(run.lines.value(1).contains(QLatin1String("not a serial device")),
                 qPrintable(run.lines.value(1)));
        QCOMPARE(watch.opens(), 0);
    }

    void aDirectoryAndDevNullAreNotSerialDevices()
    {
        QTemporaryDir dir;
        for (const QString &device : {dir.path(), QStringLiteral("/dev/null")}) {
            const PortProblem problem = openOn(device);
            QCOMPARE(problem.kind, PortProblem::Kind::NotSerialDevice);
            QCOMPARE(problem.summary(), QStringLiteral("%1 is not a serial device").arg(device));
        }
    }

    void aDanglingLinkDoesNotExistAndSaysWhereItPointed()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("ttyUSB0"));
        const QString link = dir.filePath(QStringLiteral("usb-FTDI_FT232R-if00-port0"));
        QVERIFY(QFile::link(target, link));

        const PortProblem problem = openOn(link);
        QCOMPARE(problem.kind, PortProblem::Kind::DoesNotExist);
        QCOMPARE(problem.summary(), QStringLiteral("%1 does not exist").arg(link));
        QVERIFY2(problem.details().contains(target), qPrintable(problem.details()));
    }

    void everySummaryNamesTheDeviceInFewWordsAndDetailsTellTheRest()
    {
        const QString device = QStringLiteral("/dev/ttyUSB0"); // 12 characters
        const QString shown = QStringLiteral("/dev/…B0");
        const QMetaEnum kinds = QMetaEnum::fromType<PortProblem::Kind>();
        QSet<QString> seen;
        for (int i = 0; i < kinds.keyCount(); ++i) {
            const auto kind = PortProblem::Kind(kinds.value(i));
            if (kind == PortProblem::Kind::None)
                continue;
            const PortProblem problem{kind, device, QStringLiteral("Input/output error")};
            const QString summary = problem.summary();
            // A stalled server's words are the longest; the window's status line still
            // gives the device a dozen characters beside them.
            QVERIFY2(summary.contains(device) && summary.size() <= 50, qPrintable(summary));
            QVERIFY2(problem.summary(shown).contains(shown) &&
                         !problem.summary(shown).contains(device),
                     qPrintable(problem.summary(shown)));
            QVERIFY2(!seen.contains(summary), qPrintable(summary)); // every kind reads apart
            seen.insert(summary);

            const QString details = problem.details();
            QVERIFY2(details.contains(device) && details.contains(problem.systemReason),
                     qPrintable(details));
            QCOMPARE(details.contains(QLatin1String("adduser \"$USER\" dialout")),
                     kind == PortProblem::Kind::NoPermission);
        }
        QVERIFY(PortProblem().summary().isEmpty() && PortProblem().details().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPortProblems)
#include "tst_portproblems.moc"
