#pragma once

#include "line/linesettings.h"
#include "line/portproblem.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

// One kind of connection to the reader line: a serial device of this computer, or a
// serial server on the network. Line drives whichever the device names through this face
// and keeps the rules common to all: the state, the trace, the loss. Each kind says its
// own problem, in its own terms.
//
// One contract for every kind: count() is what waits to be read, write() returns once
// every byte has been handed to the operating system, drain() makes sure they have left
// this computer, and nothing waits in an event loop of its own.
class LineConnection : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts opening with `settings`; opened() or openFailed() follows, before this
    // returns where the kind can tell at once.
    virtual void open(const LineSettings &settings) = 0;
    // Ends an open in progress too; no signal follows.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Drops what was received, here and, where it can, at the far end.
    virtual bool discard() = 0;
    virtual qint64 count() = 0;
    virtual bool write(const QByteArray &bytes) = 0;
    virtual std::optional<char> readByte() = 0;
    virtual QByteArray peek(qint64 maxBytes) = 0;
    // Starts making sure that every byte written so far has left this computer; drained()
    // follows once it has, before this returns where the kind can tell at once. Ended
    // by lost() instead when the line fails meanwhile, and by close() with no signal.
    virtual void drain() = 0;
    virtual bool isDraining() const = 0;

    // Why the last open failed, or why the line went down.
    PortProblem problem() const { return m_problem; }
    // Something the operator should know about an open line (that its speed cannot be
    // set from here); empty when there is nothing to say.
    virtual QString openNote() const { return QString(); }

signals:
    void opened();
    // problem() tells why.
    void openFailed();
    // The line failed while open; problem() tells why.
    void lost();
    // The bytes written before the last drain() have left this computer.
    void drained();

protected:
    void setProblem(const PortProblem &problem) { m_problem = problem; }

private:
    PortProblem m_problem;
};
