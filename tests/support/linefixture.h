#pragma once

#include "bus/readerlink.h"
#include "line/line.h"
#include "tests/support/simulatedline.h"

#include <QSignalSpy>
#include <QStringList>

#include <functional>

// The bus link without a window: a simulated line on Com 1, the port opened on it, and
// its own reply window. Tests that only check what crosses the line may shorten the
// reply window to keep a full scan quick.
class LineFixture
{
public:
    explicit LineFixture(int replyWindowMs = 200);

    sim::ReaderBus &bus() { return line.bus(); }
    void addReaders(std::initializer_list<int> addresses);

    SimulatedLine line{1};
    Line port;
    ReaderLink link{port};
};

// Bytes as "06 80 02 3F 03", for readable failure messages.
QByteArray hex(const QByteArray &bytes);

// What a scan puts on the line for the addresses from..to: each poll behind its ACK.
QByteArray scanTraffic(int from, int to);

// The first argument of every signal a spy caught, as text.
QStringList texts(const QSignalSpy &spy);

// CPU time this process has used so far, in milliseconds.
double cpuMs();

// Resident memory of this process in kB, -1 where the system does not tell.
qint64 residentKb();

// Runs `action` once `condition` holds, checked every millisecond by a timer owned by
// `owner`: it fires from inside whatever wait the program is in, as a click would.
void once(QObject *owner, const std::function<bool()> &condition,
          const std::function<void()> &action);
