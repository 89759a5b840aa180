#pragma once

#include <QSerialPort>
#include <QtGlobal>

#include <chrono>
#include <functional>

class QAbstractSocket;

// What the system holds for a line, below Qt's own buffers, the same for both kinds of
// line: the bytes that arrived and Qt has not read yet, and the room to take what Qt
// still holds to write. A count at the end of a reply window must see the bytes that
// came up to that moment, and a write must be with the system when it returns.
namespace SystemQueue {

// A device or a server that takes no byte for this long has stalled.
inline constexpr std::chrono::milliseconds WriteLimit{1000};

// Bytes the system holds that Qt has not read; 0 when it cannot tell.
qint64 waiting(QSerialPort &port);
qint64 waiting(QAbstractSocket &socket);

// Drops what arrived on the port and was not read, in the system and in Qt.
void discardReceived(QSerialPort &port);

// Writes what Qt holds into the system, waiting for room there without an event loop,
// so no event is handled meanwhile; at most WriteLimit in all, and no longer than
// `stillOpen` holds (a failure Qt reports on a write can close the line mid-way). True
// once Qt holds nothing more to write.
bool handOver(QSerialPort &port, const std::function<bool()> &stillOpen);
// The same, for as long as the socket stays connected.
bool handOver(QAbstractSocket &socket);

// Waits until the device has sent every byte the system holds for it, out of its UART
// too (tcdrain, FlushFileBuffers). No event loop runs meanwhile; the wait is bounded by
// those bytes at the line's speed, since the line has no flow control that could hold
// them. False when the device failed.
bool waitUntilSent(QSerialPort &port);

// Waits until the system can take more of what Qt holds, at most `limit`; false when
// the wait itself failed or, where the wait is the write itself, timed out.
bool waitForRoom(QSerialPort &port, std::chrono::milliseconds limit);
bool waitForRoom(QAbstractSocket &socket, std::chrono::milliseconds limit);

} // namespace SystemQueue
