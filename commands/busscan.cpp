#include "busscan.h"

#include "frames.h"
#include "readerlink.h"
#include "serialline.h"

#include <QElapsedTimer>
#include <QLoggingCategory>

// QT_LOGGING_RULES="rollcall.commands.debug=true" reports how long each scan took.
Q_LOGGING_CATEGORY(lcScan, "rollcall.commands", QtWarningMsg)

BusScan::BusScan(ReaderLink &link, SerialLine &line, QObject *parent)
    : QObject(parent), m_link(link), m_line(line)
{}

QString BusScan::listEntry(int address)
{
    return QStringLiteral("Address ") + frames::addressText(address);
}

QString BusScan::progressText(int address)
{
    return QStringLiteral("Checking Address ") + frames::addressText(address);
}

QString BusScan::resultText(int readersFound)
{
    if (readersFound == 0)
        return QStringLiteral("There are no readers online");
    // The count is written with one leading blank, as a number-to-text conversion does.
    return QStringLiteral("There are %1 readers online").arg(readersFound);
}

void BusScan::run()
{
    QElapsedTimer took;
    took.start();
    emit listCleared();
    int found = 0;
    for (int address = frames::FirstAddress; address <= frames::LastAddress; ++address) {
        emit statusChanged(progressText(address));
        const ReaderLink::Poll poll = m_link.poll_address(address);
        if (poll == ReaderLink::Poll::LineDown)
            return stopAt(address);
        if (poll != ReaderLink::Poll::Present)
            continue;
        const std::optional<char> first = m_line.readByte();
        if (!first)
            return stopAt(address);
        if (*first == frames::STX || *first == frames::ACK) {
            emit readerListed(listEntry(address));
            ++found;
        }
    }
    emit statusChanged(resultText(found));
    qCDebug(lcScan, "scan of %d addresses took %lld ms, %d readers listed",
            frames::LastAddress - frames::FirstAddress + 1, static_cast<long long>(took.elapsed()),
            found);
}

void BusScan::stopAt(int address)
{
    if (m_link.isAborted())
        return;
    const QString reason =
        m_line.failureReason().isEmpty() ? tr("the port is not open") : m_line.failureReason();
    m_line.close();
    emit statusChanged(
        tr("Scan stopped at address %1: %2").arg(frames::addressText(address), reason));
}
