#include "commands/addressassignment.h"

#include "bus/readerlink.h"
#include "commands/addressentry.h"
#include "commands/operatordialogs.h"

AddressAssignment::AddressAssignment(ReaderLink &link, OperatorDialogs &dialogs, QObject *parent)
    : QObject(parent), m_link(link), m_dialogs(dialogs)
{}

AddressAssignment::Outcome AddressAssignment::run()
{
    emit statusChanged(QString());

    const ReaderLink::Poll atZero = m_link.poll(0);
    if (atZero == ReaderLink::Poll::Stopped)
        return stop();
    if (atZero == ReaderLink::Poll::Absent) {
        emit statusChanged(notOnlineText());
        return Outcome::NotOnline;
    }
    if (!m_link.acknowledge())
        return stop();

    const AddressEntry entry = AddressEntry::check(m_dialogs.askText(promptText()));
    if (entry.verdict == AddressEntry::Verdict::Empty)
        return Outcome::Cancelled;
    if (entry.verdict == AddressEntry::Verdict::Invalid) {
        m_dialogs.message(invalidText());
        return Outcome::Invalid;
    }

    // Unlike the scan, any reply of two bytes or more means the address is taken.
    const ReaderLink::Poll atNew = m_link.poll(entry.address);
    if (atNew == ReaderLink::Poll::Stopped)
        return stop();
    if (atNew == ReaderLink::Poll::Present) {
        if (!m_link.acknowledge())
            return stop();
        m_dialogs.message(takenText());
        return Outcome::Taken;
    }

    if (!m_link.sendSetAddress(entry.address))
        return stop();
    emit changed(entry.address);
    return Outcome::Changed;
}

AddressAssignment::Outcome AddressAssignment::stop()
{
    const std::optional<StopReason> why = m_link.stopReason();
    m_link.closeAfterStop();
    if (why)
        emit stopped(*why);
    return Outcome::Stopped;
}
