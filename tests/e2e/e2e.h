#pragma once

// Shared by the end-to-end tests: the real rollcall binary on a simulated reader line,
// driven through its window on a private X server.

#include "sim/readerbus.h"
#include "sim/trace.h"
#include "tests/support/realprogram.h"
#include "tests/support/seriallockfile.h"
#include "window/layouttable.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QRect>
#include <QString>
#include <QTest>

namespace e2e {

inline QString program()
{
    return QStringLiteral(ROLLCALL_PROGRAM);
}

// Screenshots are kept in the build tree for people to look at.
inline QString artifact(const QString &name)
{
    return QDir(QStringLiteral(ROLLCALL_E2E_ARTIFACTS)).filePath(name);
}

constexpr int FirstAddress = 0;
constexpr int LastAddress = 126;
constexpr int ReplyWindowMs = 200;
constexpr int PollSize = 5;
constexpr int ScanBytes = (LastAddress - FirstAddress + 1) * PollSize;
// A closed window must end the program at once, even in the middle of a command.
constexpr int PromptExitMs = 2000;

// What must cross the line, written out byte by byte rather than taken from bus/, so
// a wrong frame there cannot agree with itself.
inline QByteArray poll(int address)
{
    return QByteArray("\x06", 1) + char(0x80 + address) + QByteArray("\x02\x3F\x03", 3);
}

inline QByteArray fullScan()
{
    QByteArray bytes;
    for (int address = FirstAddress; address <= LastAddress; ++address)
        bytes += poll(address);
    return bytes;
}

inline QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

inline sim::Reader reader(int address, sim::Fault fault = sim::Fault::None)
{
    sim::Reader r;
    r.address = address;
    r.fault = fault;
    return r;
}

// The area of the list where entries are drawn, inside its frame.
inline QRect listArea()
{
    return layout::pixels(layout::placementOf("List1")).adjusted(3, 3, -3, -3);
}

// The address of the poll each reply of the bus followed, one per reply.
inline QList<int> answeredPolls(const QList<sim::TraceEntry> &trace)
{
    QList<int> answered;
    QByteArray fromProgram;
    int lastPoll = -1;
    bool inReply = false;
    for (const sim::TraceEntry &entry : trace) {
        if (entry.direction == sim::TraceEntry::FromProgram) {
            inReply = false;
            fromProgram.append(char(entry.byte));
            if (fromProgram.size() >= 4 && fromProgram.endsWith("\x02\x3F\x03"))
                lastPoll = quint8(fromProgram[fromProgram.size() - 4]) - 0x80;
            continue;
        }
        if (!inReply)
            answered.append(lastPoll);
        inReply = true;
    }
    return answered;
}

// The start of every poll as the bus received it, in nanoseconds on the trace's clock.
inline QList<qint64> pollTimes(const QList<sim::TraceEntry> &trace)
{
    QList<qint64> times;
    QByteArray fromProgram;
    for (const sim::TraceEntry &entry : trace) {
        if (entry.direction != sim::TraceEntry::FromProgram)
            continue;
        if (fromProgram.size() % PollSize == 0)
            times.append(entry.nanoseconds);
        fromProgram.append(char(entry.byte));
    }
    return times;
}

// The lock the program holds on its port while it runs: there, and its own.
inline void expectLockHeld(const SerialLockFile &lock, const RealProgram &program)
{
    const QString path = lock.find();
    QVERIFY2(!path.isEmpty(), qPrintable(lock.fileName() + QStringLiteral(" not found")));
    QCOMPARE(SerialLockFile::ownerOf(path), program.pid());
    qInfo("lock file while running: %s", qPrintable(path));
}

// Closes the window as a window manager would; the program must end promptly with
// status 0 and give the port back.
inline void closeAndExpectCleanExit(RealProgram &program, const SerialLockFile &lock)
{
    QVERIFY2(program.requestClose(), program.why());
    QVERIFY2(program.waitForExit(PromptExitMs), program.why());
    QVERIFY2(program.exitedNormally(), "the program crashed on close");
    QCOMPARE(program.exitCode(), 0);
    qInfo("ended %lld ms after the close request", program.millisecondsToExit());
    const QString left = lock.find();
    QVERIFY2(left.isEmpty(), qPrintable(left + QStringLiteral(" was left behind")));
}

inline void saveScreenshot(RealProgram &program, const QString &path, quint32 window = 0)
{
    QFile::remove(path);
    QVERIFY2(program.screenshot(path, window), program.why());
    QVERIFY2(QFile::exists(path), qPrintable(path));
    qInfo("screenshot: %s", qPrintable(path));
}

} // namespace e2e

// Runs a helper that checks with QVERIFY and stops the test function if it failed.
#define E2E_CHECK(call)                                                                            \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)
