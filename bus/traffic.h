#pragma once

#include <QByteArray>

// Accounts for what came on the line: the program's own bytes, brought back by an adapter
// that hears itself, and frames that only a master sends. Pure logic, on bytes from a
// line that may be a network peer: bounded, whatever comes.
namespace traffic {

// The first poll or set-address frame in `bytes`: a master's, never a reader's. Empty
// when there is none. A frame cut short at the end of `bytes` is not one.
QByteArray masterFrame(const QByteArray &bytes);

} // namespace traffic

// The bytes the program wrote whose echo has yet to come back. An adapter that echoes
// brings back every byte as it was sent, in order and ahead of anything else. It is known
// to echo from the first echo that comes back whole, or with one byte altered; known not
// to from the first reply window in which nothing came back at all.
class EchoAccount
{
public:
    enum class Adapter { Unknown, Echoes, DoesNotEcho };

    // What came back, taken apart.
    struct Settled
    {
        qsizetype echoBytes = 0; // the leading bytes that are the echo: set them aside
        // An echo was owed and something else came in its place, an echo with one byte
        // altered among it: what came is no reader's reply, and not set aside.
        bool changed = false;
    };

    void wrote(const QByteArray &bytes);
    // `received` is what waits on the line, from its oldest byte. Takes the echo off the
    // front and off what is owed. With `windowOver`, what is owed is due: from an adapter
    // known to echo, an echo cut short or altered is `changed`.
    Settled settle(const QByteArray &received, bool windowOver);
    // True while everything in `received` may still be the start of the echo owed.
    bool mayBeEcho(const QByteArray &received) const;

    Adapter adapter() const { return m_adapter; }
    void forget(); // another port or speed: another adapter, maybe

private:
    bool isAlteredEcho(const QByteArray &received) const;

    // Never more than a few frames: what is owed is settled at every window's end.
    static constexpr qsizetype MostOwed = 64;

    Adapter m_adapter = Adapter::Unknown;
    QByteArray m_owed;
};
