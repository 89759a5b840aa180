#include "commands/busscan.h"

#include "bus/frames.h"
#include "bus/readerlink.h"

#include <QElapsedTimer>
#include <QLoggingCategory>

// QT_LOGGING_RULES="rollcall.commands.debug=true" reports how long each scan took.
Q_LOGGING_CATEGORY(lcScan, "rollcall.commands", QtWarningMsg)

BusScan::BusScan(ReaderLink &link, QObject *parent) : QObject(parent), m_link(link) {}

QString BusScan::listEntry(int address)
{
    return tr("Address %1").arg(frames::addressText(address));
}

QString BusScan::progressText(int address)
{
    return tr("Checking Address %1").arg(frames::addressText(address));
}

QString BusScan::resultText(int readersFound)
{
    if (readersFound == 0)
        return tr("There are no readers online");
    // Operators know this wording, "1 readers" included; it stays as it has always read.
    return tr("There are %1 readers online").arg(readersFound);
}

void BusScan::run(int first, int last)
{
    QElapsedTimer took;
    took.start();
    emit listCleared();
    int found = 0;
    for (int address = first; address <= last; ++address) {
        const bool sent = m_link.sendPoll(address);
        // Shown while the reader has its time to answer: the label is painted by the
        // wait's first pass either way, and the work is done inside the window rather
        // than between two of them.
        emit statusChanged(progressText(address));
        const ReaderLink::Poll poll = sent ? m_link.awaitReply() : ReaderLink::Poll::LineDown;
        if (poll == ReaderLink::Poll::LineDown) {
            stopAt(address);
            return;
        }
        if (m_link.lastBytesWaiting() > 0)
            emit replyReceived(address, m_link.lastFirstByteNs(), m_link.lastBytesWaiting());
        if (poll != ReaderLink::Poll::Present) {
            emit addressChecked(address, false);
            continue;
        }
        // Only a reply that starts with STX or ACK is a reader; the rest of it is
        // discarded by the next poll.
        const std::optional<char> first = m_link.readReplyByte();
        if (!first) {
            stopAt(address);
            return;
        }
        const bool listed = *first == frames::STX || *first == frames::ACK;
        if (listed) {
            emit readerListed(listEntry(address), address);
            ++found;
        }
        emit addressChecked(address, listed);
    }
    emit statusChanged(resultText(found));
    qCDebug(lcScan, "scan of %d addresses took %lld ms, %d readers listed", last - first + 1,
            static_cast<long long>(took.elapsed()), found);
}

void BusScan::stopAt(int address)
{
    if (const std::optional<QString> reason = m_link.closeAfterLineDown())
        emit stopped(tr("Scan stopped at %1: %2").arg(frames::addressText(address), *reason),
                     address, *reason);
}
