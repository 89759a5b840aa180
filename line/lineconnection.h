#pragma once

#include "line/linesettings.h"
#include "line/portproblem.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

// One kind of connection to the reader line: a serial device of this computer, or a
// serial server on the network. Line drives whichever the device names through
// this face and keeps the rules common to all: the trace, the loss, the problem text.
class LineConnection : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Opens and sets the line; a connection that must wait for a server keeps the event
    // loop running meanwhile. On failure, problem() tells why.
    virtual bool open(const LineSettings &settings) = 0;
    // Ends an open in progress too.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Drops what was received, here and, where it can, at the far end.
    virtual bool discard() = 0;
    virtual qint64 count() = 0;
    // True once every byte has been handed to the operating system.
    virtual bool write(const QByteArray &bytes) = 0;
    virtual std::optional<char> readByte() = 0;
    virtual QByteArray peek(qint64 maxBytes) = 0;

    PortProblem problem() const { return m_problem; }
    // Something the operator should know about an open line (that its speed cannot be
    // set from here); empty when there is nothing to say.
    virtual QString openNote() const { return QString(); }

signals:
    // The line failed while open; `reason` in the system's words.
    void failed(const QString &reason);

protected:
    void setProblem(const PortProblem &problem) { m_problem = problem; }

private:
    PortProblem m_problem;
};
