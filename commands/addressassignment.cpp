#include "addressassignment.h"

#include "addressentry.h"
#include "operatordialogs.h"
#include "readerlink.h"
#include "serialline.h"

AddressAssignment::AddressAssignment(ReaderLink &link, SerialLine &line, OperatorDialogs &dialogs,
                                     QObject *parent)
    : QObject(parent), m_link(link), m_line(line), m_dialogs(dialogs)
{}

void AddressAssignment::run()
{
    emit statusChanged(QString());

    const ReaderLink::Poll atZero = m_link.poll_address(0);
    if (atZero == ReaderLink::Poll::LineDown)
        return stopOnLineDown();
    if (atZero == ReaderLink::Poll::Absent) {
        emit statusChanged(notOnlineText());
        return;
    }
    if (!m_link.acknowledge())
        return stopOnLineDown();

    const AddressEntry entry = AddressEntry::check(m_dialogs.askText(promptText()));
    if (entry.verdict == AddressEntry::Verdict::Empty)
        return;
    if (entry.verdict == AddressEntry::Verdict::Invalid) {
        m_dialogs.message(invalidText());
        return;
    }

    const ReaderLink::Poll atNew = m_link.poll_address(entry.address);
    if (atNew == ReaderLink::Poll::LineDown)
        return stopOnLineDown();
    if (atNew == ReaderLink::Poll::Present) {
        if (!m_link.acknowledge())
            return stopOnLineDown();
        m_dialogs.message(takenText());
        return;
    }

    if (!m_link.send_set_address(entry.address))
        return stopOnLineDown();
    m_dialogs.message(changedText());
}

void AddressAssignment::stopOnLineDown()
{
    if (m_link.isAborted())
        return;
    const QString reason =
        m_line.failureReason().isEmpty() ? tr("the port is not open") : m_line.failureReason();
    m_line.close();
    emit statusChanged(tr("Address change stopped: %1").arg(reason));
}
